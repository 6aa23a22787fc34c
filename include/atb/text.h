// Paths, key names and values as text, and the text and JSON forms of a whole file.
#pragma once

#include "text/csv.h"
#include "text/dump.h"
#include "text/json_form.h"
#include "text/key_names.h"
#include "text/name_finder.h"
#include "text/paths.h"
#include "text/select.h"
#include "text/set_value.h"
#include "text/value_text.h"
