#include "frontend/prompt_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "change/journal.h"
#include "editor/browse.h"
#include "editor/edit_state.h"
#include "frontend/locator.h"
#include "store/table.h"

namespace atb {

namespace {

// Why the file cannot be edited as an attribute file, or Ok.
Status CheckAttributeFile(AtbFile& file, int64_t length) {
  Status s = CheckFileLength(length);
  if (!s.ok()) return s;
  EntryList root;
  s = ReadTable(file, ROOT_TABLE_OFFSET, length, &root);
  if (s.damaged()) return Status::Damaged(DescribeTrail({}) + ": " + s.Message());
  return s;
}

// Opens the found file, checks that it is an attribute file, and browses its root table.
void EditFoundFile(EditState& state, const std::string& typedName,
                   const std::optional<std::string>& foundPath) {
  Console& console = state.console;
  OpenRefusal why = OpenRefusal::kNone;
  state.fileHandle = foundPath ? OpenForEditing(state.files, *foundPath, &why) : -1;
  if (state.fileHandle == -1) {
    const int err = errno;
    console.Write("\nbug opening ");
    console.Write(typedName);
    console.Write("\n");
    console.Explain(typedName, foundPath ? DescribeRefusal(why, err)
                                         : "no file of that name below " + state.startDir);
    return;
  }
  state.fileName = typedName;
  state.filePath = *foundPath;
  AtbFile file(state.files, state.fileHandle);
  // A change that a dying process left half made is finished before anything else.
  bool recovered = false;
  Status s = RecoverChange(state.files, file, JournalPath(*foundPath), &recovered);
  if (recovered) console.Explain(typedName, "recovered an interrupted change");
  if (!s.ok()) {
    if (s.damaged()) {
      console.Write("\nbug opening ");
      console.Write(typedName);
      console.Write("\n");
      console.Explain(typedName, s.Message());
    } else {
      console.Printf("\nwrite failed: %s\n", s.Message().c_str());
    }
    state.files.Close(state.fileHandle);
    state.fileHandle = -1;
    return;
  }
  int64_t length = 0;
  if (s.ok()) s = file.Length(&length);
  if (s.ok()) s = CheckAttributeFile(file, length);
  if (s.damaged()) {
    console.Write("\nbad attribute file ");
    console.Write(typedName);
    console.Write("\n");
    console.Explain(typedName, s.Message());
  } else if (s.ioError()) {
    console.Printf("\nread failed: %s\n", s.Message().c_str());
  } else {
    state.grew = false;
    state.growth = 0;
    state.levels.clear();
    BrowseTable(state, ROOT_TABLE_OFFSET, 0, length);
  }
  // Some file systems report a failed write only here.
  if (state.files.Close(state.fileHandle) == -1) {
    console.Printf("\nwrite failed: %s\n", Status::IoError(errno).Message().c_str());
  }
  state.fileHandle = -1;
}

// The file named on the command line: shown at the prompt as if typed, then edited as if found.
// False when the input ended.
bool EditNamedFile(EditState& state, const std::string& path) {
  state.console.Write("type 'quit' to quit\nfile to edit? (including'.atb')");
  state.console.Write(path);
  state.console.Write("\n");
  EditFoundFile(state, path, path);
  if (state.stop == Stop::kEndOfInput) return false;
  state.stop = Stop::kNone;
  return true;
}

}  // namespace

int RunPromptLoop(Console& console, Files& files, const std::string& startDir,
                  const std::optional<std::string>& firstFile) {
  if (!console.Start()) {
    std::fputs("Fatal Error: MFC initialization failed\n", stderr);
    return 1;
  }
  EditState state(console, files);
  state.startDir = startDir;
  console.Write(kBanner);
  for (bool more = !firstFile || EditNamedFile(state, *firstFile); more;) {
    console.Write("type 'quit' to quit");
    console.Write("\nfile to edit? (including'.atb')");
    if (!console.ReadLine(&state.inputLine)) break;
    const std::string typedName = state.inputLine;
    if (typedName.find("quit") != std::string::npos) break;
    EditFoundFile(state, typedName, FindFileInTree(typedName, state.startDir));
    if (state.stop == Stop::kEndOfInput) break;
    state.stop = Stop::kNone;
  }
  console.Flush();
  return 0;
}

}  // namespace atb
