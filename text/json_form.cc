#include "text/json_form.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <unordered_set>
#include <vector>

#include "store/coding.h"
#include "store/table.h"
#include "store/table_builder.h"
#include "store/text_end.h"
#include "store/tree_walk.h"
#include "store/type_words.h"
#include "store/utf.h"
#include "text/json_position.h"
#include "text/paths.h"
#include "text/value_text.h"

namespace atb {

namespace {

constexpr std::size_t kWindow = 1 << 20;
constexpr int64_t kBase64Chunk = 3 << 18;  // whole groups of three bytes
constexpr const char* kFollowsLength = "follows length";

void AppendJsonString(std::string* out, std::string_view utf8) {
  out->push_back('"');
  for (char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (const char* escape = ShortEscape(u)) {
      out->append(escape);
    } else if (u < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out->append(esc);
    } else {
      out->push_back(c);
    }
  }
  out->push_back('"');
}

Status AppendBase64Extent(ByteSource& file, int64_t start, int64_t end, Sink& sink) {
  sink.buf().push_back('"');
  std::string chunk;
  for (int64_t at = start; at < end;) {
    const int64_t n = std::min(end - at, kBase64Chunk);
    chunk.resize(static_cast<std::size_t>(n));
    Status s = file.ReadAt(at, chunk.data(), chunk.size());
    if (!s.ok()) return s;
    AppendBase64(&sink.buf(), chunk);
    sink.Spill();
    at += n;
  }
  sink.buf().push_back('"');
  return Status::Ok();
}

std::string TypeName(uint32_t type) {
  const std::string_view word = WordOfType(type, TypeSpelling::kJson);
  return word.empty() ? std::to_string(type) : "\"" + std::string(word) + "\"";
}

// Appends `, "value": ...` (and trailing bytes) when the extent is exactly a value of its type,
// else `, "bytes": ...`.
Status AppendJsonValue(ByteSource& file, uint32_t type, int64_t start, int64_t end, Sink& sink) {
  std::string& out = sink.buf();
  const int64_t size = end - start;
  const auto kind = static_cast<EntryType>(type);
  int64_t valueEnd = -1;  // where the value's bytes end, when there is a readable value
  std::string value;
  if (kind == EntryType::Float && size >= 4) {
    uint8_t raw[4];
    Status s = file.ReadAt(start, raw, 4);
    if (!s.ok()) return s;
    const uint32_t bits = DecodeFixed32(raw);
    const float f = std::bit_cast<float>(bits);
    if (!std::isfinite(f)) {
      AppendJsonString(&value, FormatFloatBits(bits));
    } else if (f == 0 && std::signbit(f)) {
      value = "-0.0";  // "-0" would read back as the integer 0
    } else {
      value = FormatFloatBits(bits);
    }
    valueEnd = start + 4;
  } else if (kind == EntryType::Bool && size >= 1) {
    uint8_t byte;
    Status s = file.ReadAt(start, &byte, 1);
    if (!s.ok()) return s;
    value = std::to_string(byte);
    valueEnd = start + 1;
  } else if ((kind == EntryType::Text || kind == EntryType::LocalizedText) && size > 0) {
    const int unit = kind == EntryType::Text ? 1 : 2;
    int64_t zero;
    Status s = FindZero(file, start, end, unit, &zero);
    if (!s.ok()) return s;
    if (zero >= 0) {
      std::string raw(static_cast<std::size_t>(zero - start), '\0');
      s = file.ReadAt(start, raw.data(), raw.size());
      if (!s.ok()) return s;
      std::string utf8;
      if (unit == 1 ? IsValidUtf8(raw) : Utf16ToUtf8(DecodeUtf16LE(raw), &utf8)) {
        AppendJsonString(&value, unit == 1 ? raw : utf8);
        valueEnd = zero + unit;
      }
    }
  }
  if (valueEnd < 0) {
    out.append(", \"bytes\": ");
    return AppendBase64Extent(file, start, end, sink);
  }
  out.append(", \"value\": ");
  out.append(value);
  if (valueEnd < end) {
    out.append(", \"trailing\": ");
    return AppendBase64Extent(file, valueEnd, end, sink);
  }
  return Status::Ok();
}

// Indents stop growing here: indents that kept growing would make the document of a chain of
// tables grow with the square of its depth.
constexpr std::size_t kDeepestIndent = 64;

void AppendIndent(std::string* out, std::size_t depth) {
  out->append(2 * std::min(depth, kDeepestIndent) + 2, ' ');
}

// What a table holds in front of its first value, as `"lead": ..., ` when there is any.
Status AppendLead(ByteSource& file, int64_t table, int64_t end, uint32_t count, Sink& sink) {
  const int64_t data = DataStart(table, count);
  int64_t first;
  Status s = FindLeadEnd(file, table, end, count, &first);
  if (!s.ok()) return s;
  if (first == data) return Status::Ok();
  sink.buf().append("\"lead\": ");
  s = AppendBase64Extent(file, data, first, sink);
  sink.buf().append(", ");
  return s;
}

Status AppendDamagedTable(ByteSource& file, int64_t start, int64_t end, const Status& why,
                          Sink& sink) {
  sink.buf().append("{\"damaged\": ");
  AppendJsonString(&sink.buf(), why.Message());
  sink.buf().append(", \"bytes\": ");
  Status s = AppendBase64Extent(file, start, end, sink);
  sink.buf().push_back('}');
  return s;
}

// The JSON form of the tree, entry by entry.
class JsonDump : public TreeVisitor {
 public:
  JsonDump(int64_t length, const KeyNames& names, Sink& sink)
      : length_(length), names_(names), sink_(sink) {}

  Status Entry(TreeWalk& walk, const CursorEntry& e) override {
    std::string& out = sink_.buf();
    out.append(e.index > 0 ? ",\n" : "\n");
    AppendIndent(&out, walk.depth());
    out.append("{\"key\": " + std::to_string(e.ID));
    std::string_view label = names_.NameOf(e.ID);
    if (!label.empty() && IsValidUtf8(label)) {
      out.append(", \"label\": ");
      AppendJsonString(&out, label);
    }
    out.append(", \"type\": " + TypeName(e.Type));
    if (e.Is(EntryType::Reference)) return Status::Ok();
    Status s = AppendJsonValue(walk.window(), e.Type, e.start, e.end, sink_);
    if (!s.ok()) return s;
    out.push_back('}');
    sink_.Spill();
    return Status::Ok();
  }
  Status EnterTable(TreeWalk& walk, const WalkTable& table) override {
    std::string& out = sink_.buf();
    if (table.level > 0) out.append(", \"table\": ");
    out.append("{");
    Status s = AppendLead(walk.window(), table.start, table.end, table.count, sink_);
    if (!s.ok()) return s;
    out.append("\"entries\": [");
    if (table.level > 0) sink_.Spill();
    return Status::Ok();
  }
  Status LeaveTable(TreeWalk&, const WalkTable& table) override {
    std::string& out = sink_.buf();
    if (table.count > 0) {
      out.push_back('\n');
      AppendIndent(&out, table.level);
    }
    out.append("]}");
    if (table.level > 0) out.push_back('}');  // the reference entry holding the table
    sink_.Spill();
    return Status::Ok();
  }
  Status Damaged(TreeWalk& walk, const CursorEntry* e, const Status& why) override {
    if (e == nullptr) {
      rootDamaged_ = true;
      return AppendDamagedTable(walk.window(), ROOT_TABLE_OFFSET, length_, why, sink_);
    }
    sink_.buf().append(", \"table\": ");
    Status s = AppendDamagedTable(walk.window(), e->start, e->end, why, sink_);
    if (s.ok()) sink_.buf().push_back('}');
    return s;
  }
  bool rootDamaged() const { return rootDamaged_; }

 private:
  const int64_t length_;
  const KeyNames& names_;
  Sink& sink_;
  bool rootDamaged_ = false;
};

// Building. The document is read as a stream of parser events: the tables' bytes are written as
// their entries arrive, and only the way down is held. A refusal is the one that a check of the
// whole document, parsed first, would give: an object's own checks (unknown members first, by
// name) before its parts', its entries in order, and a syntax error or a member given twice in
// one object, anywhere, outranks them all (the first in the text, where the parse stops). So a
// part's refusal is held until the object it lies in is complete, and what fails after a held
// refusal is muted.

// A member's value as building reads it: a scalar, or only the kind of a container.
struct Scalar {
  enum Kind : uint8_t {
    kNone,
    kNull,
    kBool,
    kUnsigned,
    kInteger,
    kFloat,
    kString,
    kObject,
    kArray
  };
  Kind kind = kNone;
  bool boolean = false;
  uint64_t number = 0;
  std::string text;  // a string's value, or a number as written
  TextPosition at;

  bool present() const { return kind != kNone; }
  bool isString() const { return kind == kString; }
  bool isUnsigned() const { return kind == kUnsigned; }
  bool isNumber() const { return kind == kUnsigned || kind == kInteger || kind == kFloat; }
};

// Why a document is refused: where (a JSON pointer) and what, and the place it points at. A
// refusal that an earlier one outranks is muted: it only says that something failed.
struct Refusal {
  bool muted = false;
  bool located = false;
  std::string where, what;
  TextPosition at;
};
using Verdict = std::optional<Refusal>;  // nothing when sound

// Of an object's unknown members, the first by name (as a sorted map of members would list
// them), and where its name lies.
struct Unknown {
  struct Names {
    std::string name;
    TextPosition at;
    std::set<std::string> all;
  };
  std::unique_ptr<Names> first;  // rare: nothing is held for an object without one

  bool seen() const { return first != nullptr; }
  // False when the object has had a member of that name already.
  bool Note(const std::string& member, TextPosition where) {
    if (!first) first = std::make_unique<Names>();
    if (!first->all.insert(member).second) return false;
    if (first->all.size() == 1 || member < first->name) {
      first->name = member;
      first->at = where;
    }
    return true;
  }
};

// The members each kind of object of the form reads, by their place in a bit set of those seen.
constexpr std::string_view kFields[4][8] = {
    {"atb", "header", "root"},
    {"start", "outer_size", "middle", "root_size"},
    {"lead", "entries", "bytes", "damaged"},
    {"key", "label", "type", "value", "trailing", "bytes", "table", "damaged"}};

// How far the built bytes reached: what to cut back to when a member's bytes are dropped.
struct Marks {
  std::size_t data = 0, inserts = 0, heads = 0;
};

// A table below 4 KiB of data takes its head in place; a larger one leaves it to be written
// in front of its data, so that no byte is moved twice.
constexpr int64_t kHeadInPlace = 4096;

// The parser's events, turned into the file's bytes.
class JsonBuilder {
 public:
  JsonBuilder(JsonText& text, const KeyNames& names, BuiltFile* out)
      : text_(text), names_(names), out_(*out) {}

  // The document's verdict, once the parser has read it whole.
  Verdict Finish() {
    if (!documentObject_) return Refuse("", "an object was expected", documentAt_);
    return std::move(verdict_);
  }

  // The parser's events.
  bool null() { return Value({}, Scalar::kNull); }
  bool boolean(bool b) {
    Scalar v;
    v.boolean = b;
    return Value(std::move(v), Scalar::kBool);
  }
  bool number_integer(int64_t) { return Number(Scalar::kInteger, 0); }
  bool number_unsigned(uint64_t n) { return Number(Scalar::kUnsigned, n); }
  bool number_float(double, const std::string&) { return Number(Scalar::kFloat, 0); }
  bool string(std::string& s) {
    Scalar v;
    v.text = std::move(s);
    return Value(std::move(v), Scalar::kString);
  }
  bool binary(nlohmann::json::binary_t&) { return true; }
  bool start_object(std::size_t) { return Open(true); }
  bool start_array(std::size_t) { return Open(false); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(std::string& name);
  bool parse_error(std::size_t, const std::string& lastRead, const nlohmann::json::exception& e) {
    // The library's text starts with its exception's name, which its id gives
    // ("[json.exception.parse_error.101] "): that is for programmers.
    static const char* const kKinds[] = {"parse_error", "invalid_iterator", "type_error",
                                         "out_of_range", "other_error"};
    std::string message = e.what();
    const int kind = e.id / 100 - 1;
    if (kind >= 0 && kind < 5) {
      const std::string name =
          std::string("[json.exception.") + kKinds[kind] + "." + std::to_string(e.id) + "] ";
      if (message.compare(0, name.size(), name) == 0) message.erase(0, name.size());
    }
    syntax_ = text_.FaithfulMessage(std::move(message), lastRead);
    return false;
  }
  const std::string& syntax() const { return syntax_; }
  // Why the parse was stopped at a member given a second time; empty when it was not.
  const std::string& repeated() const { return repeated_; }

 private:
  enum Kind : uint8_t { kDocument, kHeader, kTable, kEntry };
  // What the next value is for.
  enum Slot : uint8_t { kSkip, kScalar, kTheDocument, kTheHeader, kRoot, kNested, kEntries };

  struct Header {
    bool object = false;
    uint8_t seen = 0;
    TextPosition at;
    Unknown unknown;
    Scalar start, outerSize, middle, rootSize;
  };
  // A table member (the root, or an entry's table): whether it was there, an object, and what
  // building it came to.
  struct Member {
    bool seen = false, object = false;
    TextPosition at;
    std::unique_ptr<Refusal> verdict;
    int64_t size = 0;
  };
  struct Table {
    bool root = false;
    uint8_t seen = 0;
    TextPosition at;
    Unknown unknown;
    std::unique_ptr<Scalar[]> given;  // "lead" and "bytes", for the tables that have them
    bool damaged = false;
    bool entriesSeen = false, entriesArray = false, inEntries = false;
    TextPosition entriesAt;
    uint32_t count = 0;               // elements of the entries array so far
    TableBuilder head;                // their keys, types and offsets, and at last the lead
    int64_t dataSize = 0;             // what the entries hold, without the lead
    int64_t leadSize = -1;            // the lead's size, once known sound
    bool leadLate = false;            // the lead came after the first entry
    Marks before, start;              // before the table, and where its data begins
    std::size_t insert = 0;           // its head's place in the inserts, when it has one
    std::unique_ptr<Refusal> failed;  // the first entry that failed, or the overflow

    Scalar& Given(int k) {
      if (!given) given = std::make_unique<Scalar[]>(2);
      return given[k];
    }
    Scalar& lead() { return Given(0); }
    Scalar& bytes() { return Given(1); }
    bool has(int k) const { return given && given[k].present(); }
  };
  struct Extra {
    Scalar label, value, trailing, bytes;
  };
  struct Entry {
    uint32_t index = 0;
    bool object = true, damaged = false;
    uint8_t seen = 0;
    TextPosition at;
    Unknown unknown;
    Scalar key, type;
    std::unique_ptr<Extra> extra;  // only for the entries that have one of these members
    Member table;
    Marks before;
    Extra& More() {
      if (!extra) extra = std::make_unique<Extra>();
      return *extra;
    }
  };

  bool Number(Scalar::Kind kind, uint64_t n) {
    Scalar v;
    v.number = n;
    v.text = text_.bare();
    return Value(std::move(v), kind);
  }
  // A container that building skips: its names are still checked for repeats.
  struct Skipped {
    bool object = false;
    uint64_t count = 0;  // an array's elements so far
    std::string member;  // an object's last member
    std::unordered_set<std::string> names;
  };

  bool Value(Scalar v, Scalar::Kind kind);
  bool Open(bool object);
  // A value begins: a scalar, or a container that opens a frame or is skipped.
  void Begin(Scalar v);
  bool Close();
  void Skip(bool object, Slot slot);
  // A value begins inside a skipped container.
  void SkippedElement() {
    if (!skipped_.back().object) ++skipped_.back().count;
  }
  bool SkippedKey(const std::string& name);
  // Stops the parse at `name`, a member that its object has had already.
  bool Repeated(std::string where, const std::string& name, TextPosition at);
  Slot Current() const {
    if (kinds_.empty()) return kTheDocument;
    if (kinds_.back() == kTable && tables_.back().inEntries) return kEntries;
    return slot_;
  }

  bool building() const { return muted_ == 0; }
  Marks Mark() const { return {out_.data.size(), out_.inserts.size(), out_.heads.size()}; }
  void CutBackTo(const Marks& m) {
    if (!building()) return;
    out_.data.resize(m.data);
    out_.inserts.resize(m.inserts);
    out_.heads.resize(m.heads);
  }
  void Append(std::string_view bytes) {
    if (building()) out_.data.append(bytes);
  }

  // The JSON pointer of the open object or array on top, and of a member of it.
  std::string Where() const;
  std::string Where(std::string_view member) const { return Where() + "/" + std::string(member); }
  Verdict Refuse(std::string where, std::string what, TextPosition at, bool located = true) const;
  Verdict RefuseAt(std::string_view member, std::string what, const Scalar& v) const {
    return Refuse(Where(member), std::move(what), v.at);
  }
  Verdict RefuseUnknown(const Unknown& u, const char* what, const char* fields) const;

  void PushTable(bool root, TextPosition at);
  void CloseEntry();
  Verdict EntryContent(Entry& e, uint32_t type, int64_t* size);
  Verdict ValueBytes(Entry& e, uint32_t type, std::string* bytes);
  void CloseTable();
  Verdict TableVerdict(Table& t, int64_t* size);
  void CloseDocument();
  Verdict Bytes64(const Scalar& v, std::string_view member, std::string* bytes) const;
  Verdict Uint32(const Scalar& v, std::string_view member, uint32_t* n) const;

  JsonText& text_;
  const KeyNames& names_;
  BuiltFile& out_;
  std::string syntax_, repeated_;
  Verdict verdict_;

  std::vector<Kind> kinds_;
  std::deque<Table> tables_;
  std::deque<Entry> entries_;
  bool documentObject_ = false;
  uint8_t documentSeen_ = 0;
  TextPosition documentAt_;
  Unknown unknown_;
  Scalar atb_;
  std::optional<Header> header_;
  Member root_;

  Slot slot_ = kSkip;
  Scalar* scalar_ = nullptr;      // the member a kScalar value goes to
  std::string member_;            // the open object's last member
  std::vector<Skipped> skipped_;  // the way down inside a value that is skipped
  std::string skippedAt_;         // that value's JSON pointer
  int muted_ = 0;                 // tables that hold a failed entry: what fails after it is muted
};

std::string JsonBuilder::Where() const {
  std::string where;
  std::size_t table = 0, entry = 0;
  for (Kind k : kinds_) {
    switch (k) {
      case kDocument:
        break;
      case kHeader:
        where += "/header";
        break;
      case kTable:
        where += tables_[table++].root ? "/root" : "/table";
        break;
      case kEntry:
        where += "/entries/" + std::to_string(entries_[entry++].index);
        break;
    }
  }
  return where;
}

Verdict JsonBuilder::Refuse(std::string where, std::string what, TextPosition at,
                            bool located) const {
  Refusal r;
  if (muted_ > 0) {
    r.muted = true;
    return r;
  }
  r.where = std::move(where);
  r.what = std::move(what);
  r.at = at;
  r.located = located;
  return r;
}

Verdict JsonBuilder::RefuseUnknown(const Unknown& u, const char* what, const char* fields) const {
  return Refuse(Where() + "/" + PointerToken(u.first->name),
                "unknown field \"" + u.first->name + "\" (" + what + " has " + fields + ")",
                u.first->at);
}

Verdict JsonBuilder::Bytes64(const Scalar& v, std::string_view member, std::string* bytes) const {
  if (!v.isString() || !DecodeBase64(v.text, bytes)) {
    return RefuseAt(member, "base64 bytes were expected", v);
  }
  return std::nullopt;
}

Verdict JsonBuilder::Uint32(const Scalar& v, std::string_view member, uint32_t* n) const {
  if (!v.isUnsigned() || v.number > 0xFFFFFFFFu) {
    return RefuseAt(member, "a whole number from 0 to 4294967295 was expected", v);
  }
  *n = static_cast<uint32_t>(v.number);
  return std::nullopt;
}

bool JsonBuilder::Repeated(std::string where, const std::string& name, TextPosition at) {
  repeated_ = at.Describe() + ", at " + where + ": \"" + name +
              "\" appears a second time in this object: keep one of them";
  return false;
}

bool JsonBuilder::SkippedKey(const std::string& name) {
  Skipped& top = skipped_.back();
  if (!top.names.insert(name).second) {
    std::string where = skippedAt_;
    for (std::size_t i = 0; i + 1 < skipped_.size(); ++i) {
      const Skipped& s = skipped_[i];
      where.push_back('/');
      where.append(s.object ? PointerToken(s.member) : std::to_string(s.count - 1));
    }
    where.push_back('/');
    return Repeated(where.append(PointerToken(name)), name, text_.tokenStart());
  }
  top.member = name;
  return true;
}

bool JsonBuilder::key(std::string& name) {
  if (!skipped_.empty()) return SkippedKey(name);
  const TextPosition at = text_.tokenStart();
  const Kind kind = kinds_.back();
  uint8_t& seen = kind == kDocument ? documentSeen_
                  : kind == kHeader ? header_->seen
                  : kind == kTable  ? tables_.back().seen
                                    : entries_.back().seen;
  const auto& fields = kFields[kind];
  const auto field = std::find(std::begin(fields), std::end(fields), name);
  if (!name.empty() && field != std::end(fields)) {
    const auto bit = static_cast<uint8_t>(1u << (field - std::begin(fields)));
    if ((seen & bit) != 0) return Repeated(Where(PointerToken(name)), name, at);
    seen |= bit;
  }
  member_ = name;
  slot_ = kSkip;
  scalar_ = nullptr;
  switch (kind) {
    case kDocument:
      if (name == "atb") {
        slot_ = kScalar, scalar_ = &atb_;
      } else if (name == "header") {
        slot_ = kTheHeader;
      } else if (name == "root") {
        slot_ = kRoot;
      } else if (!unknown_.Note(name, at)) {
        return Repeated(Where(PointerToken(name)), name, at);
      }
      break;
    case kHeader: {
      Header& h = *header_;
      if (name == "start") {
        scalar_ = &h.start;
      } else if (name == "outer_size") {
        scalar_ = &h.outerSize;
      } else if (name == "middle") {
        scalar_ = &h.middle;
      } else if (name == "root_size") {
        scalar_ = &h.rootSize;
      } else if (!h.unknown.Note(name, at)) {
        return Repeated(Where(PointerToken(name)), name, at);
      }
      break;
    }
    case kTable: {
      Table& t = tables_.back();
      if (name == "lead") {
        scalar_ = &t.lead();
        t.leadSize = -1;
        t.leadLate = t.count > 0;
      } else if (name == "entries") {
        slot_ = kEntries;
      } else if (name == "bytes") {
        scalar_ = &t.bytes();
      } else if (name == "damaged") {
        t.damaged = true;
      } else if (!t.unknown.Note(name, at)) {
        return Repeated(Where(PointerToken(name)), name, at);
      }
      break;
    }
    case kEntry: {
      Entry& e = entries_.back();
      if (name == "key") {
        scalar_ = &e.key;
      } else if (name == "type") {
        scalar_ = &e.type;
      } else if (name == "label") {
        scalar_ = &e.More().label;
      } else if (name == "value") {
        scalar_ = &e.More().value;
      } else if (name == "trailing") {
        scalar_ = &e.More().trailing;
      } else if (name == "bytes") {
        scalar_ = &e.More().bytes;
      } else if (name == "table") {
        slot_ = kNested;
      } else if (name == "damaged") {
        e.damaged = true;
      } else if (!e.unknown.Note(name, at)) {
        return Repeated(Where(PointerToken(name)), name, at);
      }
      break;
    }
  }
  if (scalar_ != nullptr) slot_ = kScalar;
  return true;
}

bool JsonBuilder::Value(Scalar v, Scalar::Kind kind) {
  if (!skipped_.empty()) {
    SkippedElement();
    return true;
  }
  v.kind = kind;
  v.at = text_.tokenStart();
  Begin(std::move(v));
  return true;
}

bool JsonBuilder::Open(bool object) {
  if (!skipped_.empty()) {
    SkippedElement();
    skipped_.push_back({object, 0, {}, {}});
    return true;
  }
  Scalar v;
  v.kind = object ? Scalar::kObject : Scalar::kArray;
  v.at = text_.bracket();
  Begin(std::move(v));
  return true;
}

void JsonBuilder::Begin(Scalar v) {
  const bool object = v.kind == Scalar::kObject;
  // A container that opens no frame is skipped to its end.
  const bool container = object || v.kind == Scalar::kArray;
  bool opened = false;
  const Slot slot = Current();
  switch (slot) {
    case kSkip:
      break;
    case kScalar:
      *scalar_ = std::move(v);
      break;
    case kTheDocument:
      documentObject_ = object;
      documentAt_ = text_.documentStart();
      if ((opened = object)) kinds_.push_back(kDocument);
      break;
    case kTheHeader:
      header_ = Header();
      header_->object = object;
      header_->at = v.at;
      if ((opened = object)) kinds_.push_back(kHeader);
      break;
    case kRoot:
      root_ = Member{true, object, v.at, nullptr, 0};
      if ((opened = object)) PushTable(true, v.at);
      break;
    case kNested: {
      Entry& e = entries_.back();
      e.table = Member{true, object, v.at, nullptr, 0};
      if ((opened = object)) PushTable(false, v.at);
      break;
    }
    case kEntries: {
      Table& t = tables_.back();
      if (!t.inEntries) {
        t.entriesSeen = true;
        t.entriesArray = t.inEntries = opened = v.kind == Scalar::kArray;
        t.entriesAt = v.at;
        break;
      }
      // An element that is not an object is refused as an entry that failed.
      Entry e;
      e.index = t.count;
      e.object = opened = object;
      e.at = v.at;
      e.before = Mark();
      kinds_.push_back(kEntry);
      entries_.push_back(std::move(e));
      if (!object) CloseEntry();
      break;
    }
  }
  if (container && !opened) Skip(object, slot);
}

void JsonBuilder::Skip(bool object, Slot slot) {
  if (slot == kTheDocument) {
    skippedAt_.clear();
  } else if (slot == kEntries && tables_.back().inEntries) {
    // An element that is no object: its entry is already closed.
    skippedAt_ = Where("entries/" + std::to_string(tables_.back().count - 1));
  } else {
    skippedAt_ = Where(PointerToken(member_));
  }
  skipped_.push_back({object, 0, {}, {}});
}

bool JsonBuilder::Close() {
  if (!skipped_.empty()) {
    skipped_.pop_back();
    return true;
  }
  switch (kinds_.back()) {
    case kDocument:
      CloseDocument();
      break;
    case kHeader:
      kinds_.pop_back();
      break;
    case kTable:
      if (tables_.back().inEntries) {
        tables_.back().inEntries = false;
      } else {
        CloseTable();
      }
      break;
    case kEntry:
      CloseEntry();
      break;
  }
  return true;
}

void JsonBuilder::PushTable(bool root, TextPosition at) {
  Table t;
  t.root = root;
  t.at = at;
  t.before = Mark();
  if (building()) {
    t.insert = out_.inserts.size();
    out_.inserts.push_back({static_cast<int64_t>(out_.data.size()), 0, 0});
  }
  t.start = Mark();
  kinds_.push_back(kTable);
  tables_.push_back(std::move(t));
}

void JsonBuilder::CloseEntry() {
  Entry& e = entries_.back();
  Table& t = tables_[tables_.size() - 1];
  uint32_t key = 0, type = 0;
  int64_t size = 0;
  Verdict v;
  if (!e.object) {
    v = Refuse(Where(), "an object was expected", e.at);
  } else if (e.unknown.seen()) {
    v = RefuseUnknown(e.unknown, "an entry",
                      "key, label, type, value, trailing, bytes, table, damaged");
  } else if (!e.key.present()) {
    v = Refuse(Where(), "\"key\" is missing", e.at);
  } else if (e.key.isString()) {
    if (!ParseKey(e.key.text, names_, &key))
      v = RefuseAt("key", "a key (a number, a label or a name) was expected", e.key);
  } else {
    v = Uint32(e.key, "key", &key);
  }
  if (!v && e.extra && e.extra->label.present()) {
    const Scalar& label = e.extra->label;
    if (!label.isString()) {
      v = RefuseAt("label", "a text was expected", label);
    } else if (names_.NameOf(key) != label.text && names_.KeyOfWord(label.text) != key) {
      const std::string_view own = names_.NameOf(key);
      v = RefuseAt(
          "label",
          "the label \"" + label.text + "\" is not that of key " + std::to_string(key) +
              (own.empty() ? std::string(" (it has none)") : " (\"" + std::string(own) + "\")") +
              "; correct it or leave it out",
          label);
    }
  }
  if (!v && !e.type.present()) {
    v = Refuse(Where(), "\"type\" is missing", e.at);
  } else if (!v && e.type.isString()) {
    if (!TypeOfWord(e.type.text, TypeSpelling::kJson, &type)) {
      v = RefuseAt("type", "a type (float, bool, text, localized, ref or a number) was expected",
                   e.type);
    }
  } else if (!v) {
    v = Uint32(e.type, "type", &type);
  }
  if (!v) v = EntryContent(e, type, &size);
  if (!v && !t.failed) {
    if (building()) t.head.AddSized(key, type, size);
    t.dataSize += size;
    if (t.leadSize < 0) {
      std::string lead;
      t.leadSize =
          !t.leadLate && t.has(0) && t.lead().isString() && DecodeBase64(t.lead().text, &lead)
              ? static_cast<int64_t>(lead.size())
              : 0;
    }
    const int64_t lead = t.leadLate ? 0 : t.leadSize;
    if (EntryPos(0, e.index + 1) + lead + t.dataSize > MAX_FILE_LENGTH) {
      v = Refuse(Where(), "the file would be longer than 2147483647 bytes", e.at);
    }
  }
  if (v && !t.failed) {
    t.failed = std::make_unique<Refusal>(std::move(*v));
    ++muted_;
  }
  ++t.count;
  kinds_.pop_back();
  entries_.pop_back();
}

Verdict JsonBuilder::EntryContent(Entry& e, uint32_t type, int64_t* size) {
  const bool ref = type == static_cast<uint32_t>(EntryType::Reference);
  const Extra& x = e.More();
  std::string bytes;
  if (x.bytes.present()) {
    if (x.value.present() || e.table.seen) {
      return Refuse(Where(), "an entry has either \"bytes\" or its value, not both", e.at);
    }
    if (Verdict v = Bytes64(x.bytes, "bytes", &bytes)) return v;
    if (ref && !e.damaged) {
      MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      Status s = CheckTree(source, 0, static_cast<int64_t>(bytes.size()));
      if (!s.ok()) {
        return RefuseAt(
            "bytes",
            "not a sound table (" + s.Message() + "); mark it \"damaged\" to keep it as it is",
            x.bytes);
      }
    }
  } else if (ref) {
    if (!e.table.seen) return Refuse(Where(), "\"table\" is missing", e.at);
    if (!e.table.object) return Refuse(Where("table"), "an object was expected", e.table.at);
    if (e.table.verdict) return *e.table.verdict;
    *size = e.table.size;
    return std::nullopt;
  } else {
    // A table beside a value counts for nothing.
    CutBackTo(e.before);
    if (Verdict v = ValueBytes(e, type, &bytes)) return v;
  }
  *size = static_cast<int64_t>(bytes.size());
  Append(bytes);
  return std::nullopt;
}

Verdict JsonBuilder::ValueBytes(Entry& e, uint32_t type, std::string* bytes) {
  const Scalar& v = e.More().value;
  if (!v.present()) return Refuse(Where(), "\"value\" is missing", e.at);
  switch (static_cast<EntryType>(type)) {
    case EntryType::Float: {
      uint32_t bits;
      std::string why;
      if (v.isNumber() ? !ParseFloatText(v.text, &bits, &why)
                       : !v.isString() || !ParseFloatText(v.text, &bits, &why)) {
        return RefuseAt("value", why.empty() ? "a float was expected" : why, v);
      }
      for (int k = 0; k < 4; ++k) bytes->push_back(static_cast<char>(bits >> (8 * k)));
      break;
    }
    case EntryType::Bool:
      if (v.kind == Scalar::kBool) {
        bytes->push_back(v.boolean ? 1 : 0);
      } else if (v.isUnsigned() && v.number <= 255) {
        bytes->push_back(static_cast<char>(v.number));
      } else {
        return RefuseAt("value", "a bool (true, false or a byte from 0 to 255) was expected", v);
      }
      break;
    case EntryType::Text:
      if (!v.isString()) return RefuseAt("value", "a text was expected", v);
      if (v.text.find('\0') != std::string::npos) {
        return RefuseAt("value", "a text cannot hold a zero character", v);
      }
      *bytes = v.text;
      bytes->push_back('\0');
      break;
    case EntryType::LocalizedText: {
      std::vector<uint16_t> units;
      if (!v.isString() || !Utf8ToUtf16(v.text, &units)) {
        return RefuseAt("value", "a text was expected", v);
      }
      if (std::find(units.begin(), units.end(), 0) != units.end()) {
        return RefuseAt("value", "a localized text cannot hold a zero character", v);
      }
      units.push_back(0);
      AppendUtf16LE(units, bytes);
      break;
    }
    default:
      return Refuse(Where(), "an entry of this type takes \"bytes\", not \"value\"", e.at);
  }
  if (e.extra->trailing.present()) {
    std::string trailing;
    if (Verdict r = Bytes64(e.extra->trailing, "trailing", &trailing)) return r;
    *bytes += trailing;
  }
  return std::nullopt;
}

void JsonBuilder::CloseTable() {
  Table& t = tables_.back();
  // Its own checks come before its entries': what they find is not muted by them.
  if (t.failed) --muted_;
  int64_t size = 0;
  Verdict v = TableVerdict(t, &size);
  kinds_.pop_back();
  tables_.pop_back();
  Member& member = kinds_.back() == kEntry ? entries_.back().table : root_;
  if (v) member.verdict = std::make_unique<Refusal>(std::move(*v));
  member.size = size;
}

Verdict JsonBuilder::TableVerdict(Table& t, int64_t* size) {
  if (t.unknown.seen()) {
    return RefuseUnknown(t.unknown, "a table", "lead, entries, damaged, bytes");
  }
  if (t.has(1)) {
    if (t.entriesSeen) {
      return Refuse(Where(), "a table has either \"bytes\" or \"entries\", not both", t.at);
    }
    std::string bytes;
    if (Verdict v = Bytes64(t.bytes(), "bytes", &bytes)) return v;
    if (!t.damaged) {
      MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      Status s = CheckTree(source, 0, static_cast<int64_t>(bytes.size()));
      if (!s.ok()) {
        return RefuseAt(
            "bytes",
            "not a sound table (" + s.Message() + "); mark it \"damaged\" to keep it as it is",
            t.bytes());
      }
    }
    CutBackTo(t.before);
    Append(bytes);
    *size = static_cast<int64_t>(bytes.size());
    return std::nullopt;
  }
  if (!t.entriesSeen) return Refuse(Where(), "\"entries\" is missing", t.at);
  if (!t.entriesArray) return Refuse(Where("entries"), "an array was expected", t.entriesAt);
  std::string lead;
  if (t.has(0)) {
    if (Verdict v = Bytes64(t.lead(), "lead", &lead)) return v;
  }
  if (t.failed) return *t.failed;
  const auto leadSize = static_cast<int64_t>(lead.size());
  if (t.leadLate && EntryPos(0, t.count) + leadSize + t.dataSize > MAX_FILE_LENGTH) {
    // A lead written after the entries: the first entry it pushes too far, found by its offset.
    // (Muted when nothing is built: no entry was kept then.)
    uint32_t i = 0;
    for (; building() && i + 1 < t.count; ++i) {
      const int64_t next = t.head.ValueOffset(i + 1);
      if (EntryPos(0, i + 1) + leadSize + next > MAX_FILE_LENGTH) break;
    }
    return Refuse(Where("entries/" + std::to_string(i)),
                  "the file would be longer than 2147483647 bytes", t.at, false);
  }
  if (!building()) return std::nullopt;
  t.head.SetCount(t.count);
  t.head.SetLead(std::move(lead));
  const std::string head = t.head.Head();
  *size = static_cast<int64_t>(head.size()) + t.dataSize;
  BuiltFile::Insert& insert = out_.inserts[t.insert];
  if (t.dataSize < kHeadInPlace) {
    out_.data.insert(static_cast<std::size_t>(insert.at), head);
    out_.inserts.pop_back();
  } else {
    insert.from = static_cast<int64_t>(out_.heads.size());
    insert.size = static_cast<int64_t>(head.size());
    out_.heads += head;
  }
  return std::nullopt;
}

void JsonBuilder::CloseDocument() {
  // The document's own checks, then the header's, then the root's; the sizes last.
  Verdict& v = verdict_;
  std::string start(HEADER_START_SIZE, '\0'), middle(HEADER_MIDDLE_SIZE, '\0');
  if (unknown_.seen()) v = RefuseUnknown(unknown_, "the document", "atb, header, root");
  if (!v && atb_.present() && (!atb_.isUnsigned() || atb_.number != 1)) {
    v = Refuse("/atb", "1 was expected", atb_.at);
  }
  if (!v && header_) {
    kinds_.push_back(kHeader);
    const Header& h = *header_;
    if (!h.object) {
      v = Refuse("/header", "an object was expected", h.at);
    } else if (h.unknown.seen()) {
      v = RefuseUnknown(h.unknown, "the header", "start, outer_size, middle, root_size");
    } else if (h.start.present() && (v = Bytes64(h.start, "start", &start))) {
    } else if (h.middle.present() && (v = Bytes64(h.middle, "middle", &middle))) {
    } else if (start.size() != static_cast<std::size_t>(HEADER_START_SIZE)) {
      v = RefuseAt("start", "36 bytes were expected", h.start);
    } else if (middle.size() != static_cast<std::size_t>(HEADER_MIDDLE_SIZE)) {
      v = RefuseAt("middle", "8 bytes were expected", h.middle);
    }
    kinds_.pop_back();
  }
  if (!v && !root_.seen) v = Refuse("", "\"root\" is missing", documentAt_);
  if (!v && !root_.object) v = Refuse("/root", "an object was expected", root_.at);
  if (!v && root_.verdict) v = std::move(*root_.verdict);
  const int64_t length = ROOT_TABLE_OFFSET + root_.size;
  if (!v && length > MAX_FILE_LENGTH) {
    v = Refuse("/root", "the file would be longer than 2147483647 bytes", root_.at);
  }
  auto sizes = HeaderSizes(length);
  kinds_.push_back(kHeader);
  const char* fields[2] = {"outer_size", "root_size"};
  for (int k = 0; k < 2 && !v && header_; ++k) {
    const Scalar& size = k == 0 ? header_->outerSize : header_->rootSize;
    if (!size.present() || (size.isString() && size.text == kFollowsLength)) continue;
    v = size.isUnsigned()
            ? Uint32(size, fields[k], &sizes[k].value)
            : RefuseAt(fields[k],
                       std::string("\"") + kFollowsLength + "\" or a number was expected", size);
  }
  kinds_.pop_back();
  kinds_.pop_back();
  if (v) return;
  out_.header.assign(HEADER_SIZE, '\0');
  out_.header.replace(0, HEADER_START_SIZE, start);
  out_.header.replace(HEADER_MIDDLE_OFFSET, HEADER_MIDDLE_SIZE, middle);
  for (const HeaderField& f : sizes) {
    EncodeFixed32(reinterpret_cast<uint8_t*>(out_.header.data() + f.offset), f.value);
  }
}

}  // namespace

int64_t BuiltFile::size() const {
  return static_cast<int64_t>(header.size() + data.size() + heads.size());
}

bool BuiltFile::WriteTo(const std::function<bool(std::string_view)>& write) const {
  if (!write(header)) return false;
  std::size_t at = 0;
  for (const Insert& insert : inserts) {
    const auto to = static_cast<std::size_t>(insert.at);
    if (!write(std::string_view(data).substr(at, to - at)) ||
        !write(std::string_view(heads).substr(static_cast<std::size_t>(insert.from),
                                              static_cast<std::size_t>(insert.size)))) {
      return false;
    }
    at = to;
  }
  return write(std::string_view(data).substr(at));
}

Status BuildFromJson(JsonText& text, const KeyNames& names, BuiltFile* file) {
  *file = BuiltFile();
  JsonBuilder builder(text, names, file);
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder)) {
    if (!builder.repeated().empty()) return Status::Refused(builder.repeated());
    // A syntax error, or a number no float can hold.
    return Status::Refused(builder.syntax());
  }
  Verdict v = builder.Finish();
  if (!v) return Status::Ok();
  std::string why = v->located ? v->at.Describe() + ", " : std::string();
  why += "at " + (v->where.empty() ? std::string("/") : v->where) + ": " + v->what;
  return Status::Refused(why);
}

Status BuildFromJson(std::string_view json, const KeyNames& names, std::string* file) {
  JsonText text(json);
  BuiltFile built;
  if (Status s = BuildFromJson(text, names, &built); !s.ok()) return s;
  file->clear();
  file->reserve(static_cast<std::size_t>(built.size()));
  built.WriteTo([&](std::string_view piece) {
    file->append(piece);
    return true;
  });
  return Status::Ok();
}

Status DumpJson(ByteSource& base, int64_t length, const KeyNames& names, Sink& sink) {
  std::string& out = sink.buf();
  uint8_t header[HEADER_SIZE];
  Status s = base.ReadAt(0, header, sizeof header);
  if (!s.ok()) return s;
  const auto sizes = HeaderSizes(length);
  auto size = [&](int k) {
    const uint32_t stored = DecodeFixed32(header + sizes[k].offset);
    return stored == sizes[k].value ? "\"" + std::string(kFollowsLength) + "\""
                                    : std::to_string(stored);
  };
  const auto* bytes = reinterpret_cast<const char*>(header);
  out.append("{\"atb\": 1,\n \"header\": {\"start\": \"");
  AppendBase64(&out, std::string_view(bytes, HEADER_START_SIZE));
  out.append("\", \"outer_size\": " + size(0) + ", \"middle\": \"");
  AppendBase64(&out, std::string_view(bytes + HEADER_MIDDLE_OFFSET, HEADER_MIDDLE_SIZE));
  out.append("\", \"root_size\": " + size(1) + "},\n \"root\": ");

  WalkOptions options;
  options.window = kWindow;
  TreeWalk walk(base, options);
  JsonDump dump(length, names, sink);
  s = walk.Run(ROOT_TABLE_OFFSET, length, dump);
  if (!s.ok() && !dump.rootDamaged()) return s;
  out.append(dump.rootDamaged() ? "}\n" : "\n}\n");
  return s;
}

}  // namespace atb
