#include "editor/browse.h"

#include <bit>

#include "editor/dialogue.h"
#include "labels/key_labels.h"
#include "store/coding.h"
#include "store/table.h"
#include "store/text_end.h"
#include "store/utf.h"

namespace atb {

namespace {

constexpr int64_t kTextShown = 200;
// A listing reads its values, and the nested tables and names of its references, in ascending
// order through one window of this size.
constexpr std::size_t kListingWindow = 64 << 10;
constexpr std::size_t kWideUnitsShown = 10;
constexpr const char* kMenu =
    "\ncommands:\n edit anyone (enter number)\n goto parent/quit 999\n add reference 998\n"
    " rip reference 997\n";

// A key as the listing shows it: its label, or "ID:" and the key. No separator, no line break.
void PrintKeyLabel(Console& console, uint32_t key) { console.Write(KeyLabelText(key)); }

// Texts come from files that are shared: on a terminal a control byte is shown as "?" so that a
// file cannot drive it. Anywhere else the bytes go out as stored, for scripts that read them.
void WriteShown(Console& console, std::string_view text) {
  if (!console.terminal()) return console.Write(text);
  std::string shown(text);
  for (char& c : shown) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  console.Write(shown);
}

// UTF-16 code units up to the first zero unit, as UTF-8; an unpaired surrogate becomes U+FFFD,
// so that the output stays UTF-8, and on a terminal a control character becomes "?".
std::string WideToShown(const std::vector<uint16_t>& units, bool terminal) {
  std::string out;
  for (std::size_t i = 0; i < units.size() && units[i] != 0;) {
    uint32_t cp = NextUtf16(units.data(), units.size(), &i);
    if (IsSurrogate(cp)) {
      cp = 0xFFFD;
    } else if (terminal && IsControl(cp)) {
      cp = '?';
    }
    AppendUtf8(cp, &out);
  }
  return out;
}

// The display name of the reference whose nested table lies at `offset` (ReadReferenceName);
// "Not Found" when there is none or the table is damaged. Lists nothing, reads no command.
std::string LookupReferenceName(EditState& state, ByteSource& file, int64_t offset,
                                int64_t endOffset) {
  TableShape shape;
  Status s = CheckTable(file, offset, endOffset, &shape);
  if (s.damaged()) return "Not Found";
  bool found = false;
  std::string name;
  if (s.ok()) s = ReadReferenceName(file, offset, endOffset, &found, &name);
  if (!Reported(state, s, Doing::kReading)) return std::string();
  return found ? name : "Not Found";
}

// Reads and prints every entry; false when a read failed and the editing of the file ended.
// Each value is read before anything of its line is shown, so a failed read shows nothing.
bool ListEntries(EditState& state, const Level& level) {
  Console& console = state.console;
  PositionedFile base(state.files, state.fileHandle);
  WindowedSource file(base, kListingWindow);
  const EntryList& list = level.list;
  for (uint32_t i = 0; i < list.count; ++i) {
    console.Printf("\n%u ", i);
    switch (static_cast<EntryType>(list.Type[i])) {
      case EntryType::Float: {
        uint8_t bits[4];
        if (!Reported(state, file.ReadAt(list.Off[i], bits, sizeof bits), Doing::kReading)) {
          return false;
        }
        PrintKeyLabel(console, list.ID[i]);
        console.Printf(":%f", static_cast<double>(std::bit_cast<float>(DecodeFixed32(bits))));
        break;
      }
      case EntryType::Bool: {
        uint8_t byte;
        if (!Reported(state, file.ReadAt(list.Off[i], &byte, 1), Doing::kReading)) return false;
        PrintKeyLabel(console, list.ID[i]);
        console.Printf(":%x", byte);
        break;
      }
      case EntryType::Text: {
        std::string text;
        Status s = ReadUpToZero(file, list.Off[i], list.Off[i] + kTextShown, &text);
        if (!Reported(state, s, Doing::kReading)) return false;
        console.Write("text:");
        WriteShown(console, text);
        break;
      }
      case EntryType::LocalizedText: {
        char raw[2 * kWideUnitsShown];
        if (!Reported(state, file.ReadAt(list.Off[i], raw, sizeof raw), Doing::kReading)) {
          return false;
        }
        console.Write("localized text");
        console.Write(
            WideToShown(DecodeUtf16LE(std::string_view(raw, sizeof raw)), console.terminal()));
        break;
      }
      case EntryType::Reference: {
        std::string name = LookupReferenceName(state, file, list.Off[i], list.Off[i + 1]);
        if (state.stop != Stop::kNone) return false;
        console.Printf("REF(ID:%u):", list.ID[i]);
        WriteShown(console, name);
        break;
      }
      default:
        break;
    }
  }
  return true;
}

// A change below this level has grown the file; it has already carried the growth into every
// table. Answers true when this level goes on (the root, read afresh with the file's new length
// as its end); every other level returns, its entries out of date.
bool Settle(EditState& state, Level& level) {
  if (level.depth > 0) return false;
  state.grew = false;
  PositionedFile file(state.files, state.fileHandle);
  EntryList& list = level.list;
  int64_t length;
  Status s = file.Length(&length);
  if (s.ok()) s = ReadTable(file, level.offset, length, &list);
  if (s.damaged()) {
    RefuseDamagedTable(state, s, 0);
    state.stop = Stop::kFileFailed;
    return false;
  }
  if (!Reported(state, s, Doing::kReading)) return false;
  level.endOffset = length;
  return true;
}

// The command loop of one level, until it returns.
void RunCommands(EditState& state, Level& level) {
  for (;;) {
    if (state.grew && !Settle(state, level)) return;
    if (!ListEntries(state, level)) return;
    state.console.Write(kMenu);
    if (!ReadAnswer(state)) return;
    int32_t choice = ParseNumber(state.inputLine);
    if (choice == 999) return;
    if (choice == 997) {
      RipReference(state, level);
    } else if (choice == 998) {
      if (AddReference(state)) return;
    } else if (choice < 0 || static_cast<uint32_t>(choice) >= level.list.count) {
      state.console.Write(kRefused);
    } else {
      uint32_t n = static_cast<uint32_t>(choice);
      switch (static_cast<EntryType>(level.list.Type[n])) {
        case EntryType::Float:
          EditFloat(state, level, n);
          break;
        case EntryType::Bool:
          EditBool(state, level, n);
          break;
        case EntryType::Text:
          if (EditText(state, level, n)) return;
          break;
        case EntryType::Reference:
          level.descended = n;
          BrowseTable(state, level.list.Off[n], level.depth + 1, level.list.Off[n + 1]);
          break;
        default:
          state.console.Write(kRefused);
          break;
      }
    }
    if (state.stop != Stop::kNone) return;
  }
}

}  // namespace

void RefuseDamagedTable(EditState& state, const Status& s, int32_t depth) {
  std::vector<uint32_t> trail;
  for (int32_t d = 0; d < depth; ++d) trail.push_back(state.levels[d]->descended);
  state.console.Write("\nbad table, not opened");
  state.console.Explain(state.fileName, DescribeTrail(trail) + ": " + s.Message());
}

TableChain ChainTo(const EditState& state, uint32_t n) {
  TableChain chain;
  for (const Level* level : state.levels) {
    chain.push_back(
        {level->offset, level->endOffset, level == state.levels.back() ? n : level->descended});
  }
  return chain;
}

bool MakeChange(EditState& state, const Change& change) {
  Status s = change.Apply(*state.target);
  if (s.tooLarge()) {
    state.console.Write("\nfile too large");
    return false;
  }
  if (!s.ok() && !s.ioError()) {  // refused before anything was written: it cannot be made safely
    state.console.Explain(state.fileName, "change refused: " + s.Message());
    return false;
  }
  return Reported(state, s, Doing::kChanging);
}

bool ReadAnswer(EditState& state) {
  if (state.console.ReadLine(&state.inputLine)) return true;
  state.stop = Stop::kEndOfInput;
  return false;
}

bool Reported(EditState& state, const Status& s, Doing doing) {
  if (!s.ioError()) return true;
  state.console.Printf(doing == Doing::kChanging ? "\nwrite failed: %s\n" : "\nread failed: %s\n",
                       s.Message().c_str());
  state.stop = Stop::kFileFailed;
  return false;
}

void BrowseTable(EditState& state, int64_t offset, int32_t depth, int64_t endOffset) {
  PositionedFile file(state.files, state.fileHandle);
  Level level{offset, depth, endOffset, {}};
  Status s = ReadTable(file, offset, endOffset, &level.list);
  if (s.damaged()) {
    RefuseDamagedTable(state, s, depth);
    return;
  }
  if (!Reported(state, s, Doing::kReading)) return;
  state.levels.push_back(&level);
  RunCommands(state, level);
  state.levels.pop_back();
}

}  // namespace atb
