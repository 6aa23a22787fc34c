// The one record of the editing state, shared by the prompt loop and every level of the table
// browser for the whole run. The editor owns it; the front end creates it and hands it over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/signals.h"

namespace atb {

// Why every open level must return at once, whatever its depth.
enum class Stop {
  kNone,
  kEndOfInput,  // no line could be read: the file is closed and the run ends
  kFileFailed,  // a read, write or seek failed: the editing of that file ends
};

struct EditState {
  EditState(Console& console, Files& files) : console(console), files(files) {}

  Console& console;
  Files& files;

  int fileHandle = -1;  // the open attribute file, -1 when none
  // A growth not yet carried into the enclosing tables: while `grew` is set, each level it
  // returns to adds `growth` to the Off of its entries after the reference it descended into.
  int32_t growth = 0;
  bool grew = false;
  std::string startDir;   // where the run started: the root of every search, home of side files
  std::string inputLine;  // the line last read from the console, at most kLineBound bytes
  std::string fileName;   // the open file's name as typed, for the reasons behind refusals
  // The entry numbers that the browser descended through from the root to the current table.
  std::vector<uint32_t> descent;
  Stop stop = Stop::kNone;
  // Held from the first write of a growth until every enclosing table has taken it up, so that
  // no signal ends the process with the file half changed.
  std::optional<DeferSignals> holdSignals;
};

}  // namespace atb
