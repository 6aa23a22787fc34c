#include "text/dump.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "store/coding.h"
#include "store/hash.h"
#include "store/table.h"
#include "store/text_end.h"
#include "store/tree_walk.h"
#include "store/utf.h"
#include "text/json_form.h"
#include "text/paths.h"
#include "text/value_text.h"

namespace atb {

namespace {

// A code unit as \u shows it: four hex digits.
std::string HexUnit(uint32_t unit) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04x", static_cast<unsigned>(unit));
  return hex;
}

constexpr std::size_t kWindow = 1 << 20;
constexpr int64_t kChunk = 1 << 20;
// Longer extents of a type without a value form are shown by their size and hash.
constexpr int64_t kShownRaw = 256;

// Calls fn with the bytes of [start, end) in chunks.
template <typename Fn>
Status ForEachChunk(ByteSource& file, int64_t start, int64_t end, Fn fn) {
  std::string chunk;
  for (int64_t at = start; at < end;) {
    const int64_t n = std::min(end - at, kChunk);
    chunk.resize(static_cast<std::size_t>(n));
    Status s = file.ReadAt(at, chunk.data(), chunk.size());
    if (!s.ok()) return s;
    fn(std::string_view(chunk));
    at += n;
  }
  return Status::Ok();
}

Status AppendEscapedExtent(ByteSource& file, int64_t start, int64_t end, Sink& sink) {
  sink.buf().push_back('"');
  std::string carry;  // the start of a character that the next chunk finishes
  Status s = ForEachChunk(file, start, end, [&](std::string_view chunk) {
    carry.append(chunk);
    const std::size_t held = IncompleteUtf8Tail(carry);
    AppendEscapedBytes(&sink.buf(), std::string_view(carry).substr(0, carry.size() - held));
    carry.erase(0, carry.size() - held);
    sink.Spill();
  });
  AppendEscapedBytes(&sink.buf(), carry);
  sink.buf().push_back('"');
  return s;
}

Status AppendTrailing(ByteSource& file, int64_t start, int64_t end, Sink& sink) {
  if (start >= end) return Status::Ok();
  sink.buf().append(" trailing ");
  return AppendEscapedExtent(file, start, end, sink);
}

// `ref "name"` or `ref` for a reference whose table at [start, end) read as `read`, or what is
// damaged in it, with the size and hash of the table's bytes when `hashDamaged`.
Status AppendReference(ByteSource& file, const Status& read, int64_t start, int64_t end,
                       bool hashDamaged, Sink& sink) {
  std::string& out = sink.buf();
  if (read.damaged()) {
    out.append("damaged table: " + read.Message());
    if (!hashDamaged) return Status::Ok();
    out.append(" (");
    Status s = AppendSizeAndHash(file, start, end, sink);
    sink.buf().push_back(')');
    return s;
  }
  out.append("ref");
  bool named;
  std::string name;
  Status s = ReadReferenceName(file, start, end, &named, &name);
  if (named) {
    out.push_back(' ');
    AppendQuotedBytes(&out, name);
  }
  return s;
}

}  // namespace

Status AppendSizeAndHash(ByteSource& file, int64_t start, int64_t end, Sink& sink) {
  uint64_t hash = kFnv1aStart;
  Status s =
      ForEachChunk(file, start, end, [&](std::string_view chunk) { hash = Fnv1a64(chunk, hash); });
  char text[64];
  std::snprintf(text, sizeof text, "%lld bytes fnv64 0x%016llx",
                static_cast<long long>(end - start), static_cast<unsigned long long>(hash));
  sink.buf().append(text);
  return s;
}

Status AppendQuotedExtent(ByteSource& file, int64_t start, int64_t end, Sink& sink) {
  return AppendEscapedExtent(file, start, end, sink);
}

Status AppendValueText(ByteSource& file, uint32_t type, int64_t start, int64_t end, Sink& sink) {
  std::string& out = sink.buf();
  const int64_t size = end - start;
  const auto kind = static_cast<EntryType>(type);
  const bool known = kind == EntryType::Float || kind == EntryType::Bool ||
                     kind == EntryType::Text || kind == EntryType::LocalizedText;
  if (known && size == 0) {
    out.append("empty");
    return Status::Ok();
  }
  switch (kind) {
    case EntryType::Float: {
      if (size < 4) {
        out.append("short ");
        return AppendEscapedExtent(file, start, end, sink);
      }
      uint8_t bits[4];
      Status s = file.ReadAt(start, bits, sizeof bits);
      if (!s.ok()) return s;
      out.append(FormatFloatBits(DecodeFixed32(bits)));
      return AppendTrailing(file, start + 4, end, sink);
    }
    case EntryType::Bool: {
      uint8_t byte;
      Status s = file.ReadAt(start, &byte, 1);
      if (!s.ok()) return s;
      out.append(std::to_string(byte));
      return AppendTrailing(file, start + 1, end, sink);
    }
    case EntryType::Text:
    case EntryType::LocalizedText: {
      const int unit = kind == EntryType::Text ? 1 : 2;
      int64_t zero;
      Status s = FindZero(file, start, end, unit, &zero);
      if (!s.ok()) return s;
      if (zero < 0) {
        out.append("unterminated ");
        return AppendEscapedExtent(file, start, end, sink);
      }
      if (unit == 1) {
        s = AppendEscapedExtent(file, start, zero, sink);
      } else {
        std::string raw(static_cast<std::size_t>(zero - start), '\0');
        s = file.ReadAt(start, raw.data(), raw.size());
        AppendQuotedWide(&out, DecodeUtf16LE(raw));
      }
      if (!s.ok()) return s;
      return AppendTrailing(file, zero + unit, end, sink);
    }
    default: {
      out.append("type " + std::to_string(type) + " ");
      if (size <= kShownRaw) return AppendEscapedExtent(file, start, end, sink);
      return AppendSizeAndHash(file, start, end, sink);
    }
  }
}

Status AppendEntryText(ByteSource& file, uint32_t type, int64_t start, int64_t end, Sink& sink) {
  if (type != static_cast<uint32_t>(EntryType::Reference)) {
    return AppendValueText(file, type, start, end, sink);
  }
  TableShape shape;
  Status s = CheckTable(file, start, end, &shape);
  if (s.ioError()) return s;
  return AppendReference(file, s, start, end, false, sink);
}

Status AppendRawText(ByteSource& file, uint32_t type, int64_t start, int64_t end, std::string* out,
                     bool* isText) {
  *isText = type == static_cast<uint32_t>(EntryType::Text) ||
            type == static_cast<uint32_t>(EntryType::LocalizedText);
  if (!*isText) return Status::Ok();
  if (type == static_cast<uint32_t>(EntryType::Text)) {
    std::string bytes;
    Status s = ReadUpToZero(file, start, end, &bytes);
    if (s.ok()) out->append(bytes);
    return s;
  }
  int64_t zero = -1;
  Status s = FindZero(file, start, end, 2, &zero);
  if (!s.ok()) return s;
  const int64_t stop = zero >= 0 ? zero : start + (end - start) / 2 * 2;
  std::string bytes(static_cast<std::size_t>(stop - start), '\0');
  if (!(s = file.ReadAt(start, bytes.data(), bytes.size())).ok()) return s;
  const std::vector<uint16_t> units = DecodeUtf16LE(bytes);
  for (std::size_t i = 0; i < units.size();) {
    const uint32_t cp = NextUtf16(units.data(), units.size(), &i);
    if (IsSurrogate(cp)) {
      return Status::Refused(
          "the localized text holds an unpaired surrogate, which UTF-8 cannot "
          "carry; without --raw it is shown as \\u" +
          HexUnit(cp));
    }
    AppendUtf8(cp, out);
  }
  return Status::Ok();
}

Status AppendEntryText(ByteSource& file, const EntryList& list, uint32_t i, Sink& sink) {
  return AppendEntryText(file, list.Type[i], list.ExtentStart(i), list.ExtentEnd(i), sink);
}

namespace {

// The dump's lines, one an entry.
class TextDump : public TreeVisitor {
 public:
  TextDump(int64_t length, const KeyNames& names, Sink& sink, bool hashDamaged)
      : length_(length), names_(names), sink_(sink), hashDamaged_(hashDamaged) {}

  Status Entry(TreeWalk& walk, const CursorEntry& e) override {
    const std::size_t level = walk.depth() - 1;
    int32_t pick;
    Status s = walk.Pick(level, &pick);
    if (!s.ok()) return s;
    element_.clear();
    AppendPathElement(names_, e.ID, pick, &element_);
    std::string& out = sink_.buf();
    const std::size_t tableLength = pathLengths_[level];
    nestedLength_ = kLongestFullPath;
    if (PrintedInFull(tableLength, element_.size())) {
      path_.resize(tableLength);
      path_.push_back('/');
      path_.append(element_);
      out.append(path_);
      nestedLength_ = path_.size();
    } else {
      AppendCountedPath(walk.table(level).holder, element_, &out);
    }
    out.append(" = ");
    if (e.Is(EntryType::Reference)) return Status::Ok();
    s = AppendValueText(walk.window(), e.Type, e.start, e.end, sink_);
    return s.ok() ? EndLine() : s;
  }
  Status EnterTable(TreeWalk& walk, const WalkTable& table) override {
    // Of the table's own path: 0 for the root, kLongestFullPath once too long to be printed.
    pathLengths_.push_back(table.level == 0 ? 0 : nestedLength_);
    if (table.level == 0) return Status::Ok();
    Status s = AppendReference(walk.window(), Status::Ok(), table.start, table.end, false, sink_);
    return s.ok() ? EndLine() : s;
  }
  Status LeaveTable(TreeWalk&, const WalkTable&) override {
    pathLengths_.pop_back();
    return Status::Ok();
  }
  Status Damaged(TreeWalk& walk, const CursorEntry* e, const Status& why) override {
    if (e == nullptr) sink_.buf().append("/ = ");
    const int64_t start = e == nullptr ? ROOT_TABLE_OFFSET : e->start;
    const int64_t end = e == nullptr ? length_ : e->end;
    Status s = AppendReference(walk.window(), why, start, end, hashDamaged_, sink_);
    if (e == nullptr) {
      sink_.buf().push_back('\n');
      return s;
    }
    return s.ok() ? EndLine() : s;
  }

 private:
  Status EndLine() {
    sink_.buf().push_back('\n');
    sink_.Spill();
    return Status::Ok();
  }

  const int64_t length_;
  const KeyNames& names_;
  Sink& sink_;
  const bool hashDamaged_;
  // One path, cut back to a table's own when its next entry is named: a line's path is the only
  // copy, and it stops growing where paths are printed from the entry holding their table.
  std::string path_, element_;
  std::vector<std::size_t> pathLengths_;  // of each held table's own path
  std::size_t nestedLength_ = 0;          // of the path of the table the last entry holds
};

}  // namespace

Status DumpText(ByteSource& base, int64_t length, const KeyNames& names, Sink& sink,
                bool hashDamaged) {
  WalkOptions options;
  options.window = kWindow;
  options.picks = true;
  TreeWalk walk(base, options);
  TextDump dump(length, names, sink, hashDamaged);
  return walk.Run(ROOT_TABLE_OFFSET, length, dump);
}

}  // namespace atb
