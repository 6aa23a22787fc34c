// What a front end needs of the system: statuses, the file layer, outputs written whole, the
// console, signals, quoting and the version.
#pragma once

#include "platform/console.h"
#include "platform/dirs.h"
#include "platform/files.h"
#include "platform/output_file.h"
#include "platform/quote.h"
#include "platform/signals.h"
#include "platform/status.h"
#include "platform/version.h"
