// The one record of the editing state, shared by the prompt loop and every level of the table
// browser for the whole run. The editor owns it; the front end creates it and hands it over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"

namespace atb {

struct Level;
struct ChangeTarget;

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
  // A change grew (or shrank) the file: every open level returns, and the root reads its table
  // afresh. The change itself has already carried the growth into every table.
  bool grew = false;
  std::string startDir;   // where the run started: the root of every search, home of side files
  std::string inputLine;  // the line last read from the console, at most kLineBound bytes
  std::string fileName;   // the open file's name as typed, for the reasons behind refusals
  ChangeTarget* target = nullptr;  // where changes to the open file go, with its journal
  // The tables open in the browser, from the root to the current one: the chain along which a
  // change carries its growth up.
  std::vector<const Level*> levels;
  Stop stop = Stop::kNone;
};

}  // namespace atb
