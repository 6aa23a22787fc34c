// Reading and writing a file's tree: the layout, tables and their checks, the one walk of a whole
// tree, the builder that lays a table out, and the type words.
#pragma once

#include "store/coding.h"
#include "store/layout.h"
#include "store/table.h"
#include "store/table_builder.h"
#include "store/text_end.h"
#include "store/tree_walk.h"
#include "store/type_words.h"
