#include "frontend/prompt_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "atb/dialogue.h"
#include "atb/file.h"
#include "atb/tree.h"
#include "frontend/locator.h"

namespace atb {

namespace {

// Why the root table cannot be listed, or Ok.
Status CheckRoot(PositionedFile& file, int64_t length) {
  EntryList root;
  Status s = ReadTable(file, ROOT_TABLE_OFFSET, length, &root);
  if (s.damaged()) return Status::Damaged(DescribeTrail({}) + ": " + s.Message());
  return s;
}

// Opens the found file, checks that it is an attribute file, and browses its root table.
void EditFoundFile(EditState& state, const std::string& typedName,
                   const std::optional<std::string>& foundPath) {
  Console& console = state.console;
  auto refuse = [&](const std::string& why) {
    console.Write("\nbug opening ");
    console.Write(typedName);
    console.Write("\n");
    console.Explain(typedName, why);
  };
  if (!foundPath) return refuse("no file of that name below " + state.startDir);
  AttributeFile open(state.files);
  bool recovered = false;
  Status s = open.Open(*foundPath, AttributeFile::kEditing, &recovered);
  // A change that a dying process left half made is finished before anything else.
  for (const std::string& note : open.notes()) console.Explain(typedName, note);
  if (recovered) console.Explain(typedName, "recovered an interrupted change");
  if (open.fd() == -1 || s.refused() || s.noSpace()) return refuse(s.Message());
  if (s.ioError()) {
    console.Printf("\nread failed: %s\n", s.Message().c_str());
    return;
  }
  state.fileHandle = open.fd();
  state.fileName = typedName;
  state.target = &open.target();
  const int64_t length = open.length();
  if (s.ok()) s = CheckRoot(open.file(), length);
  if (s.damaged()) {
    console.Write("\nbad attribute file ");
    console.Write(typedName);
    console.Write("\n");
    console.Explain(typedName, s.Message());
  } else if (s.ioError()) {
    console.Printf("\nread failed: %s\n", s.Message().c_str());
  } else {
    state.grew = false;
    state.levels.clear();
    BrowseTable(state, ROOT_TABLE_OFFSET, 0, length);
  }
  state.target = nullptr;
  state.fileHandle = -1;
  // Some file systems report a failed write only here.
  s = open.Close();
  if (!s.ok()) console.Printf("\nwrite failed: %s\n", s.Message().c_str());
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
