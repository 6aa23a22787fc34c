#include "text/dump.h"

#include <algorithm>
#include <deque>

#include "store/coding.h"
#include "store/hash.h"
#include "store/table.h"
#include "store/text_end.h"
#include "store/utf.h"
#include "text/json_form.h"
#include "text/paths.h"
#include "text/value_text.h"

namespace atb {

namespace {

constexpr std::size_t kWindow = 1 << 20;
constexpr int64_t kChunk = 1 << 20;
// What the open tables' blocks of entries may hold at once.
constexpr std::size_t kBlockBudget = 8 << 20;
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

// One open table of the walk.
struct Frame {
  EntryCursor cursor;
  KeyPicks picks;
  // Of the table's own path, 0 for the root, kLongestFullPath once too long to be printed.
  std::size_t pathLength;
  uint64_t number = 0;  // of the entry holding the table
};

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

Status AppendEntryText(ByteSource& file, const EntryList& list, uint32_t i, Sink& sink) {
  return AppendEntryText(file, list.Type[i], list.ExtentStart(i), list.ExtentEnd(i), sink);
}

Status DumpText(ByteSource& base, int64_t length, const KeyNames& names, Sink& sink,
                bool hashDamaged) {
  WindowedSource file(base, kWindow);
  BlockBudget budget(kBlockBudget);
  // One path, cut back to a table's own when its next entry is named: a line's path is the only
  // copy, and it stops growing where paths are printed from the entry holding their table.
  std::string path, element;
  uint64_t walked = 0;
  std::deque<Frame> stack(1);
  stack[0].pathLength = 0;
  Status s = stack[0].cursor.Open(file, ROOT_TABLE_OFFSET, length, budget);
  if (s.ioError()) return s;
  if (s.damaged()) {
    sink.buf().append("/ = ");
    s = AppendReference(file, s, ROOT_TABLE_OFFSET, length, hashDamaged, sink);
    sink.buf().push_back('\n');
    return s;
  }
  stack[0].picks.Start(ROOT_TABLE_OFFSET, stack[0].cursor.count(), stack[0].cursor.keysAscend());
  CursorEntry e;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.cursor.done()) {
      stack.pop_back();
      continue;
    }
    s = top.cursor.Next(base, &e);
    if (!s.ok()) return s;
    top.picks.Note(e);
    int32_t pick;
    s = top.picks.Pick(base, budget, &pick);
    if (!s.ok()) return s;
    ++walked;
    element.clear();
    AppendPathElement(names, e.ID, pick, &element);
    std::string& out = sink.buf();
    std::size_t nestedLength = kLongestFullPath;
    if (PrintedInFull(top.pathLength, element.size())) {
      path.resize(top.pathLength);
      path.push_back('/');
      path.append(element);
      out.append(path);
      nestedLength = path.size();
    } else {
      AppendCountedPath(top.number, element, &out);
    }
    out.append(" = ");
    if (!e.Is(EntryType::Reference)) {
      s = AppendValueText(file, e.Type, e.start, e.end, sink);
      if (!s.ok()) return s;
      out.push_back('\n');
      sink.Spill();
      continue;
    }
    Frame nested;
    s = nested.cursor.Open(file, e.start, e.end, budget);
    if (s.ioError()) return s;
    const bool damaged = s.damaged();
    s = AppendReference(file, s, e.start, e.end, hashDamaged, sink);
    if (!s.ok()) return s;
    out.push_back('\n');
    sink.Spill();
    if (damaged) continue;
    nested.pathLength = nestedLength;
    nested.number = walked;
    nested.picks.Start(e.start, nested.cursor.count(), nested.cursor.keysAscend());
    stack.push_back(std::move(nested));
  }
  return Status::Ok();
}

}  // namespace atb
