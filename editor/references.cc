// Moving the bytes of an entry between the attribute file and a side file in the start-up
// directory, named by the entry's key in decimal.
#include <string>

#include "change/side_files.h"
#include "editor/dialogue.h"

namespace atb {

void RipReference(EditState& state, Level& level) {
  state.console.Write("number of the reference to rip?");
  if (!ReadAnswer(state)) return;
  const int32_t j = ParseNumber(state.inputLine);
  const EntryList& list = level.list;
  if (j < 0 || static_cast<uint32_t>(j) >= list.count) {
    state.console.Write(kRefused);
    return;
  }
  const std::string name = std::to_string(list.ID[j]);
  bool readFailed;
  Status s = CopyOut(state.target->file, list.ExtentStart(j), list.ExtentEnd(j),
                     state.startDir + "/" + name, &readFailed);
  if (s.ok() || (readFailed && !Reported(state, s, Doing::kReading))) return;
  state.console.Printf("\ncan't write side file %s", name.c_str());
  state.console.Explain(name, s.Message());
}

bool AddReference(EditState& state) {
  state.console.Write("ID of reference to add?");
  if (!ReadAnswer(state)) return false;
  const std::string sideName = state.inputLine;
  const uint32_t newKey = ParseKey(sideName);

  // The side file is checked before the attribute file is touched, and read while it is.
  int64_t length;
  Status s = state.target->file.Length(&length);
  if (!Reported(state, s, Doing::kReading)) return false;
  SideTable side(state.files);
  s = side.Open(state.startDir + "/" + sideName, length, state.target->file.fd());
  if (s.tooLarge()) {
    state.console.Write("\nfile too large");
    return false;
  }
  if (s.damaged() || side.itself()) {
    state.console.Write("\nbad side file ");
    state.console.Write(sideName);
    state.console.Explain(sideName, s.Message());
    return false;
  }
  if (!s.ok()) {
    state.console.Write("\nfile not found");
    state.console.Explain(sideName, s.Message());
    return false;
  }

  Change change;
  change.Insert(ChainTo(state, 0), newKey, static_cast<uint32_t>(EntryType::Reference),
                side.source(), side.size(), true);
  if (!MakeChange(state, change)) return state.stop != Stop::kNone;
  state.grew = true;
  return true;
}

}  // namespace atb
