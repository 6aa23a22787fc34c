// Overwriting floats and bools, and replacing texts, which may grow the file.
#include <bit>

#include "editor/dialogue.h"
#include "store/coding.h"
#include "store/text_end.h"

namespace atb {

void EditFloat(EditState& state, Level& level, uint32_t n) {
  const EntryList& list = level.list;
  if (list.ExtentEnd(n) - list.ExtentStart(n) < 4) {
    state.console.Write(kRefused);
    return;
  }
  state.console.Write("new value(float)?");
  if (!ReadAnswer(state)) return;
  std::string bytes(4, '\0');
  EncodeFixed32(reinterpret_cast<uint8_t*>(bytes.data()),
                std::bit_cast<uint32_t>(ParseFloat(state.inputLine)));
  Change change;
  change.Replace(ChainTo(state, n), list.Off[n], 4, std::move(bytes));
  MakeChange(state, change);
}

void EditBool(EditState& state, Level& level, uint32_t n) {
  const EntryList& list = level.list;
  if (list.ExtentEnd(n) == list.ExtentStart(n)) {
    state.console.Write(kRefused);
    return;
  }
  state.console.Write("new value(bool)?");
  if (!ReadAnswer(state)) return;
  Change change;
  change.Replace(ChainTo(state, n), list.Off[n], 1,
                 std::string(1, ParseNumber(state.inputLine) != 0 ? 1 : 0));
  MakeChange(state, change);
}

bool EditText(EditState& state, Level& level, uint32_t n) {
  const EntryList& list = level.list;
  PositionedFile file(state.files, state.fileHandle);
  int64_t zero;
  Status s = FindZero(file, list.Off[n], list.ExtentEnd(n), 1, &zero);
  if (!Reported(state, s, Doing::kChanging)) return false;
  if (zero < 0) {  // no zero byte in its extent: not a text that can be measured
    state.console.Write(kRefused);
    return false;
  }
  const int64_t old = zero - list.Off[n] + 1;  // the stored length, its zero byte included
  state.console.Write("new text?");
  if (!ReadAnswer(state)) return false;
  const std::string text = state.inputLine;
  const int64_t growth = static_cast<int64_t>(text.size()) + 1 - old;
  if (growth < 0) {
    state.console.Write("\ninput too small (try filling with spaces?]");
    return false;
  }
  // The stored text's own zero byte, and whatever follows it in the extent, stay behind it.
  Change change;
  change.Replace(ChainTo(state, n), list.Off[n], old - 1, text);
  if (!MakeChange(state, change) || growth == 0) return false;
  state.grew = true;
  return true;
}

}  // namespace atb
