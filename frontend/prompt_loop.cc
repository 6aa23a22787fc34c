#include "frontend/prompt_loop.h"

#include <cerrno>
#include <cstdio>

#include "editor/browse.h"
#include "frontend/edit_state.h"
#include "frontend/locator.h"
#include "store/table.h"

namespace atb {

namespace {

// Opens the found file, checks that it is an attribute file, and browses its root table.
void EditFoundFile(EditState& state, const std::string& Temp) {
  Console& console = state.console;
  state.fileHandle = OpenForEditing(state.files, state.foundPath);
  if (state.fileHandle == -1) {
    console.Write("\nbug opening ");
    console.Write(Temp);
    console.Write("\n");
    return;
  }
  AtbFile file(state.files, state.fileHandle);
  int64_t length = 0;
  Status s = file.Length(&length);
  if (s.ok() && (length < MIN_FILE_LENGTH || length > MAX_FILE_LENGTH)) s = Status::Damaged();
  if (s.ok()) {
    EntryList root;
    s = ReadTable(file, ROOT_TABLE_OFFSET, length, &root);
  }
  if (s.damaged()) {
    console.Write("\nbad attribute file ");
    console.Write(Temp);
    console.Write("\n");
  } else if (s.ioError()) {
    console.Printf("\nread failed: %s\n", s.Message().c_str());
  } else {
    state.grew = false;
    state.growth = 0;
    BrowseTable(state, ROOT_TABLE_OFFSET, 0, length);
  }
  state.holdSignals.reset();
  // Some file systems report a failed write only here.
  if (state.files.Close(state.fileHandle) == -1) {
    console.Printf("\nwrite failed: %s\n", Status::IoError(errno).Message().c_str());
  }
  state.fileHandle = -1;
}

}  // namespace

int RunPromptLoop(Console& console, Files& files, const std::string& startDir) {
  if (!console.Start()) {
    std::fputs("Fatal Error: MFC initialization failed\n", stderr);
    return 1;
  }
  EditState state(console, files);
  state.startDir = startDir;
  console.Write(kBanner);
  for (;;) {
    console.Write("type 'quit' to quit");
    console.Write("\nfile to edit? (including'.atb')");
    if (!console.ReadLine(&state.inputLine)) break;
    const std::string Temp = state.inputLine;
    if (Temp.find("quit") != std::string::npos) break;
    FindFileInTree(state, Temp, state.startDir);
    EditFoundFile(state, Temp);
    state.found = false;
    state.foundPath.clear();
    if (state.stop == Stop::kEndOfInput) break;
    state.stop = Stop::kNone;
  }
  console.Flush();
  return 0;
}

}  // namespace atb
