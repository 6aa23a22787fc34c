#include "patches/patch.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <set>

#include "patches/edited_file.h"
#include "store/coding.h"
#include "store/hash.h"
#include "store/table.h"
#include "store/table_builder.h"
#include "store/tree_walk.h"
#include "store/type_words.h"
#include "text/value_text.h"

namespace atb {

namespace {

constexpr uint32_t kTableType = static_cast<uint32_t>(EntryType::Reference);

void AppendIndent(std::string* out, int depth) {
  out->append(2 * static_cast<std::size_t>(depth), ' ');
}

void AppendKeyName(const KeyNames& names, uint32_t key, std::string* out) {
  std::string_view name = names.PathNameOf(key);
  if (name.empty()) {
    out->append(std::to_string(key));
  } else {
    out->append(name);
  }
}

std::string SizeAndHash(int64_t size, uint64_t hash) {
  char text[64];
  std::snprintf(text, sizeof text, "%lld bytes fnv64 0x%016llx", static_cast<long long>(size),
                static_cast<unsigned long long>(hash));
  return text;
}

// A table of the file as a block of lines, `table {` to `}`, its entries indented one step
// further than `depth`. Nested tables that are damaged, or lie deeper than a patch may nest, are
// given by their raw bytes; so is the table itself when it is damaged.
class TableBlock : public TreeVisitor {
 public:
  TableBlock(const KeyNames& names, int depth, Sink& sink)
      : names_(names), depth_(depth), sink_(sink) {}

  Status Entry(TreeWalk& walk, const CursorEntry& e) override {
    const int depth = Depth(walk.depth() - 1);
    AppendIndent(&sink_.buf(), depth);
    AppendKeyName(names_, e.ID, &sink_.buf());
    sink_.buf().append(": ");
    if (walk.Enters(e)) return Status::Ok();
    Status s = e.Is(EntryType::Reference)
                   ? AppendRawTable(walk.window(), e.start, e.end, sink_)
                   : AppendNewValue(walk.window(), e.Type, e.start, e.end, names_, depth, sink_);
    return s.ok() ? EndLine() : s;
  }
  Status EnterTable(TreeWalk& walk, const WalkTable& table) override {
    sink_.buf().append("table {\n");
    int64_t leadEnd;
    Status s = FindLeadEnd(walk.window(), table.start, table.end, table.count, &leadEnd);
    const int64_t data = DataStart(table.start, table.count);
    if (!s.ok() || leadEnd == data) return s;
    AppendIndent(&sink_.buf(), Depth(table.level));
    sink_.buf().append("lead ");
    if (!(s = AppendQuotedExtent(walk.window(), data, leadEnd, sink_)).ok()) return s;
    sink_.buf().push_back('\n');
    return Status::Ok();
  }
  Status LeaveTable(TreeWalk&, const WalkTable& table) override {
    AppendIndent(&sink_.buf(), Depth(table.level) - 1);
    sink_.buf().push_back('}');
    if (table.level > 0) sink_.buf().push_back('\n');
    return Status::Ok();
  }
  Status Damaged(TreeWalk& walk, const CursorEntry* e, const Status&) override {
    if (e == nullptr) return AppendRawTable(walk.window(), start_, end_, sink_);
    Status s = AppendRawTable(walk.window(), e->start, e->end, sink_);
    return s.ok() ? EndLine() : s;
  }

  Status Run(ByteSource& file, int64_t start, int64_t end) {
    start_ = start;
    end_ = end;
    WalkOptions options;
    options.deepest = static_cast<std::size_t>(kDeepestPatchTable - depth_);
    TreeWalk walk(file, options);
    return walk.Run(start, end, *this);
  }

 private:
  // The indent of the entries of a table `level` tables below the block's own.
  int Depth(std::size_t level) const { return depth_ + 1 + static_cast<int>(level); }
  Status EndLine() {
    sink_.buf().push_back('\n');
    sink_.Spill();
    return Status::Ok();
  }

  const KeyNames& names_;
  const int depth_;
  Sink& sink_;
  int64_t start_ = 0, end_ = 0;
};

}  // namespace

Status AppendRawTable(ByteSource& file, int64_t start, int64_t end, Sink& sink) {
  Status s = CheckTree(file, start, end);
  if (s.ioError()) return s;
  sink.buf().append(s.ok() ? "table raw " : "table damaged raw ");
  return AppendQuotedExtent(file, start, end, sink);
}

std::string TypeWord(uint32_t type) {
  const std::string_view word = WordOfType(type, TypeSpelling::kPatch);
  return word.empty() ? "type " + std::to_string(type) : std::string(word);
}

Status AppendNewValue(ByteSource& file, uint32_t type, int64_t start, int64_t end,
                      const KeyNames& names, int depth, Sink& sink) {
  if (IsValueType(type)) {
    sink.buf().append(TypeWord(type)).push_back(' ');
    return AppendValueText(file, type, start, end, sink);
  }
  if (type == kTableType && depth < kDeepestPatchTable) {
    return TableBlock(names, depth, sink).Run(file, start, end);
  }
  if (type == kTableType) return AppendRawTable(file, start, end, sink);
  sink.buf().append(TypeWord(type) + " ");
  return AppendQuotedExtent(file, start, end, sink);
}

Status AppendExpectedValue(ByteSource& file, uint32_t type, int64_t start, int64_t end,
                           Sink& sink) {
  if (type != kTableType && end - start <= kShownExpected) {
    // Names only show in tables, which this never writes; one built per value cost a third of an
    // update over many small files.
    static const KeyNames kUnnamed;
    return AppendNewValue(file, type, start, end, kUnnamed, 0, sink);
  }
  sink.buf().append(TypeWord(type)).push_back(' ');
  return AppendSizeAndHash(file, start, end, sink);
}

Status AppendBytesValue(ByteSource& file, int64_t start, int64_t end, bool expected, Sink& sink) {
  if (expected && end - start > kShownExpected) return AppendSizeAndHash(file, start, end, sink);
  return AppendQuotedExtent(file, start, end, sink);
}

Status DamageOfTable(ByteSource& file, int64_t start, int64_t end, std::string* damage) {
  std::vector<TableDamage> found;
  Status s = CheckTree(file, start, end, &found);
  damage->clear();
  if (s.ioError()) return s;
  if (!found.empty()) {
    // Said of these bytes: "root table" would read as the file's.
    const TableDamage& first = found.front();
    *damage = first.trail.empty() ? first.reason
                                  : "its " + DescribeTrail(first.trail) + ": " + first.reason;
  }
  return Status::Ok();
}

std::string PatchValueText(const PatchValue& value, bool typed) {
  if (value.hashed) {
    return (typed ? TypeWord(value.type) + " " : std::string()) +
           SizeAndHash(value.size, value.hash);
  }
  MemorySource source(reinterpret_cast<const uint8_t*>(value.bytes.data()), value.bytes.size());
  Sink sink(nullptr);
  const auto size = static_cast<int64_t>(value.bytes.size());
  if (typed) {
    AppendExpectedValue(source, value.type, 0, size, sink);
  } else {
    AppendBytesValue(source, 0, size, true, sink);
  }
  return sink.buf();
}

// ---------------------------------------------------------------------------------------------
// Reading a patch.

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Past the quoted string that starts at s[pos] (its opening quote); npos when it does not end.
std::size_t PastQuoted(std::string_view s, std::size_t pos) {
  for (std::size_t i = pos + 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// Where `token` stands alone (between blanks) outside quoted strings; npos when nowhere.
std::size_t FindToken(std::string_view s, std::string_view token) {
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '"') {
      i = PastQuoted(s, i);
      if (i == std::string_view::npos) return i;
      continue;
    }
    if (s.substr(i, token.size()) == token && (i == 0 || s[i - 1] == ' ') &&
        (i + token.size() == s.size() || s[i + token.size()] == ' ')) {
      return i;
    }
    ++i;
  }
  return std::string_view::npos;
}

bool ParseHash(std::string_view s, int64_t* size, uint64_t* hash) {
  const std::size_t space = s.find(' ');
  if (space == std::string_view::npos) return false;
  auto r = std::from_chars(s.data(), s.data() + space, *size);
  if (r.ec != std::errc() || r.ptr != s.data() + space || *size < 0) return false;
  std::string_view rest = s.substr(space);
  if (rest.substr(0, 15) != " bytes fnv64 0x" || rest.size() != 31) return false;
  rest.remove_prefix(15);
  r = std::from_chars(rest.data(), rest.data() + rest.size(), *hash, 16);
  return r.ec == std::errc() && r.ptr == rest.data() + rest.size();
}

// One quoted string, alone.
bool ParseQuoted(std::string_view s, std::string* bytes, std::string* error) {
  s = Trim(s);
  std::size_t pos = 0;
  if (s.empty() || s[0] != '"') {
    *error = "a quoted string was expected";
    return false;
  }
  if (!ParseQuotedBytes(s, &pos, bytes, error)) return false;
  if (pos != s.size()) {
    *error = "unexpected \"" + std::string(s.substr(pos)) + "\" after the quoted string";
    return false;
  }
  return true;
}

bool ParseBytesValue(std::string_view s, bool hashAllowed, PatchValue* value, std::string* error) {
  s = Trim(s);
  if (hashAllowed && ParseHash(s, &value->size, &value->hash)) {
    value->hashed = true;
    return true;
  }
  return ParseQuoted(s, &value->bytes, error);
}

// A typed value. A table given as a block sets *block; its bytes follow from the lines after.
bool ParseTypedValue(std::string_view s, bool hashAllowed, PatchValue* value, bool* block,
                     std::string* error) {
  s = Trim(s);
  *block = false;
  std::size_t space = s.find(' ');
  std::string_view word = s.substr(0, space);
  std::string_view rest = space == std::string_view::npos ? "" : Trim(s.substr(space));
  if (word == "type") {
    space = rest.find(' ');
    std::string_view number = rest.substr(0, space);
    auto r = std::from_chars(number.data(), number.data() + number.size(), value->type);
    if (number.empty() || r.ec != std::errc() || r.ptr != number.data() + number.size()) {
      *error = "type needs a number";
      return false;
    }
    rest = space == std::string_view::npos ? "" : Trim(rest.substr(space));
  } else if (!TypeOfWord(word, TypeSpelling::kPatch, &value->type)) {
    *error = "a value starts with its type: float, bool, text, localized, table or type N";
    return false;
  }
  if (hashAllowed && ParseHash(rest, &value->size, &value->hash)) {
    value->hashed = true;
    return true;
  }
  if (value->type == kTableType) {
    if (rest == "{") {
      *block = true;
      return true;
    }
    const bool marked = rest.substr(0, 8) == "damaged ";
    if (marked) rest.remove_prefix(8);
    if (rest.substr(0, 4) != "raw ") {
      *error = "a table is a block (table {) or its raw bytes (table raw \"...\")";
      return false;
    }
    if (!ParseQuoted(rest.substr(4), &value->bytes, error)) return false;
    MemorySource source(reinterpret_cast<const uint8_t*>(value->bytes.data()), value->bytes.size());
    if (Status s =
            DamageOfTable(source, 0, static_cast<int64_t>(value->bytes.size()), &value->damage);
        !s.ok()) {
      *error = s.Message();
      return false;
    }
    if (!marked) value->unmarkedDamage = value->damage;
    return true;
  }
  ParsedValue parsed;
  const std::string text = IsValueType(value->type)
                               ? std::string(rest)
                               : "type " + std::to_string(value->type) + " " + std::string(rest);
  if (Status s = ParseValue(text, value->type, &parsed); !s.ok()) {
    *error = s.Message();
    return false;
  }
  value->bytes = std::move(parsed.bytes);
  return true;
}

// A path of a patch: it starts with "/" and ends at a blank or a colon.
bool ParsePatchPath(std::string_view* s, std::string* path, std::vector<PathElement>* elements,
                    std::string* error) {
  std::size_t end = 0;
  while (end < s->size() && (*s)[end] != ' ' && (*s)[end] != ':') ++end;
  *path = std::string(s->substr(0, end));
  s->remove_prefix(end);
  if (path->empty() || ((*path)[0] != '/' && (*path)[0] != '@')) {
    *error = "a path in a patch starts with / or @";
    return false;
  }
  if (Status parsed = ParsePath(*path, elements); !parsed.ok()) {
    *error = parsed.Message();
    return false;
  }
  if (elements->size() > static_cast<std::size_t>(kDeepestPatchTable)) {
    *error = "a path deeper than " + std::to_string(kDeepestPatchTable) + " tables";
    return false;
  }
  return true;
}

bool Consume(std::string_view* s, std::string_view word) {
  if (s->substr(0, word.size()) != word) return false;
  s->remove_prefix(word.size());
  return true;
}

// The key of a new entry: a label, a name or a number.
bool NewKeyOf(const PathElement& e, const KeyNames& names, uint32_t* key, std::string* error) {
  if (!IsKeyElement(e)) {
    *error = "a new entry's key is a label, a name or a number, not \"" + e.text + "\"";
    return false;
  }
  *key = KeyOfElement(e, names);
  return true;
}

class PatchReader {
 public:
  PatchReader(std::string_view text, const KeyNames& names, int linesBefore)
      : text_(text), names_(names), line_(linesBefore) {}

  bool Read(Patch* patch, std::string* error);

 private:
  bool NextLine(std::string_view* line) {
    while (at_ < text_.size()) {
      std::size_t end = text_.find('\n', at_);
      if (end == std::string_view::npos) end = text_.size();
      *line = Trim(text_.substr(at_, end - at_));
      at_ = end + 1;
      ++line_;
      if (!line->empty() && (*line)[0] != '#') return true;
    }
    return false;
  }
  bool Fail(std::string* error, const std::string& what) {
    *error = "line " + std::to_string(line_) + ": " + what;
    return false;
  }
  // The value of a change, reading the lines of its block when it has one.
  bool Value(std::string_view text, bool hashAllowed, PatchValue* value, std::string* error);
  bool Block(PatchValue* whole, std::string* error);
  // Keeps in *whole where `part`, read on the current line, holds a damaged table.
  void NoteDamage(const PatchValue& part, PatchValue* whole) const;
  bool Change(std::string_view line, PatchChange* c, std::string* error);
  // The key of an entry of a table block.
  bool ParseNewKey(std::string_view text, uint32_t* key, std::string* error) {
    PathElement element;
    std::string why;
    if (!ParseLoneElement(text, &element)) {
      return Fail(error, "\"" + std::string(text) + "\" is not a key");
    }
    return NewKeyOf(element, names_, key, &why) || Fail(error, why);
  }

  std::string_view text_;
  const KeyNames& names_;
  std::size_t at_ = 0;
  int line_;
};

bool PatchReader::Value(std::string_view text, bool hashAllowed, PatchValue* value,
                        std::string* error) {
  bool block;
  std::string why;
  if (!ParseTypedValue(text, hashAllowed, value, &block, &why)) return Fail(error, why);
  PatchValue found;  // the damage of raw bytes, which gains its line here
  found.damage.swap(value->damage);
  found.unmarkedDamage.swap(value->unmarkedDamage);
  NoteDamage(found, value);
  return !block || Block(value, error);
}

void PatchReader::NoteDamage(const PatchValue& part, PatchValue* whole) const {
  const std::string at = "line " + std::to_string(line_) + ": ";
  if (whole->damage.empty() && !part.damage.empty()) whole->damage = at + part.damage;
  if (whole->unmarkedDamage.empty() && !part.unmarkedDamage.empty()) {
    whole->unmarkedDamage = at + part.unmarkedDamage;
  }
}

bool PatchReader::Block(PatchValue* whole, std::string* error) {
  struct Open {
    TableBuilder table;
    uint32_t key = 0, type = 0;  // of the entry whose block is open above this one
  };
  std::vector<Open> stack(1);
  std::string_view line;
  std::string why;
  while (NextLine(&line)) {
    Open& top = stack.back();
    if (line == "}") {
      const TableBuilder& t = top.table;
      if (t.count() > 0 && t.leadSize() + t.valuesSize() > MAX_FILE_LENGTH) {
        return Fail(error, "a table too large");
      }
      std::string encoded = t.Finish();
      stack.pop_back();
      if (stack.empty()) {
        whole->bytes = std::move(encoded);
        return true;
      }
      stack.back().table.Add(stack.back().key, stack.back().type, encoded);
      continue;
    }
    if (Consume(&line, "lead ")) {
      if (top.table.count() > 0) return Fail(error, "a table's lead comes before its entries");
      std::string lead;
      if (!ParseQuoted(line, &lead, &why)) return Fail(error, why);
      top.table.SetLead(std::move(lead));
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Fail(error, "an entry of a table is KEY: VALUE");
    uint32_t id;
    if (!ParseNewKey(line.substr(0, colon), &id, error)) return false;
    PatchValue value;
    bool block;
    if (!ParseTypedValue(line.substr(colon + 1), false, &value, &block, &why)) {
      return Fail(error, why);
    }
    NoteDamage(value, whole);
    if (!block) {
      top.table.Add(id, value.type, value.bytes);
      continue;
    }
    if (stack.size() >= static_cast<std::size_t>(kDeepestPatchTable)) {
      return Fail(error, "tables nested deeper than " + std::to_string(kDeepestPatchTable));
    }
    top.key = id;
    top.type = value.type;
    stack.emplace_back();
  }
  return Fail(error, "a table block without its closing }");
}

bool PatchReader::Change(std::string_view line, PatchChange* c, std::string* error) {
  std::string why;
  c->line = line_;
  auto split = [&](std::string_view rest, std::string_view* before, std::string_view* after) {
    const std::size_t arrow = FindToken(rest, "->");
    if (arrow == std::string_view::npos) return Fail(error, "OLD -> NEW was expected");
    *before = rest.substr(0, arrow);
    *after = rest.substr(arrow + 2);
    return true;
  };
  auto colon = [&](std::string_view* rest) {
    if (!Consume(rest, ":")) return Fail(error, "a colon was expected after the path");
    return true;
  };
  auto alike = [&](std::string_view* rest) {
    if (!Consume(rest, " (of ")) return true;
    const std::size_t close = rest->find(')');
    std::string_view n = rest->substr(0, close);
    auto r = std::from_chars(n.data(), n.data() + n.size(), c->alike);
    if (close == std::string_view::npos || n.empty() || r.ec != std::errc() ||
        r.ptr != n.data() + n.size() || c->alike < 0) {
      return Fail(error, "(of N) needs a number");
    }
    rest->remove_prefix(close + 1);
    return true;
  };
  std::string_view old, neu;
  if (Consume(&line, "set ")) {
    c->kind = PatchChange::kSet;
    if (!ParsePatchPath(&line, &c->path, &c->elements, &why)) return Fail(error, why);
    if (c->elements.empty()) return Fail(error, "set needs an entry, not the root");
    if (!colon(&line) || !split(line, &old, &neu)) return false;
    return Value(old, true, &c->expected, error) && Value(neu, false, &c->value, error);
  }
  // " after PREV|start before NEXT|end", which `word` needs.
  auto neighbours = [&](std::string_view* rest, const char* word) {
    if (!Consume(rest, " after "))
      return Fail(error, std::string(word) + " needs after PATH|start");
    c->placed = true;
    if (!Consume(rest, "start") && !ParsePatchPath(rest, &c->after, &c->afterElements, &why)) {
      return Fail(error, why);
    }
    if (!Consume(rest, " before ")) {
      return Fail(error, std::string(word) + " needs before PATH|end");
    }
    if (!Consume(rest, "end") && !ParsePatchPath(rest, &c->before, &c->beforeElements, &why)) {
      return Fail(error, why);
    }
    return true;
  };
  if (Consume(&line, "remove ")) {
    c->kind = PatchChange::kRemove;
    if (!ParsePatchPath(&line, &c->path, &c->elements, &why)) return Fail(error, why);
    if (c->elements.empty()) return Fail(error, "the root cannot be removed");
    if (line.substr(0, 7) == " after " && !neighbours(&line, "remove")) return false;
    if (!alike(&line) || !colon(&line)) return false;
    return Value(line, true, &c->expected, error);
  }
  if (Consume(&line, "add ")) {
    c->kind = PatchChange::kAdd;
    if (!ParsePatchPath(&line, &c->path, &c->elements, &why)) return Fail(error, why);
    if (c->elements.empty()) return Fail(error, "add needs the table's path and the new key");
    if (!NewKeyOf(c->elements.back(), names_, &c->key, &why)) return Fail(error, why);
    c->elements.pop_back();
    if (!neighbours(&line, "add")) return false;
    if (!alike(&line) || !colon(&line)) return false;
    return Value(line, false, &c->value, error);
  }
  if (Consume(&line, "lead ")) {
    c->kind = PatchChange::kLead;
    if (!ParsePatchPath(&line, &c->path, &c->elements, &why)) return Fail(error, why);
    if (!colon(&line) || !split(line, &old, &neu)) return false;
    if (!ParseBytesValue(old, true, &c->expected, &why) ||
        !ParseBytesValue(neu, false, &c->value, &why)) {
      return Fail(error, why);
    }
    return true;
  }
  if (Consume(&line, "header:")) {
    c->kind = PatchChange::kHeader;
    c->path = "header";
    if (!split(line, &old, &neu)) return false;
    if (!ParseQuoted(old, &c->expected.bytes, &why) || !ParseQuoted(neu, &c->value.bytes, &why)) {
      return Fail(error, why);
    }
    if (c->expected.bytes.size() != ROOT_TABLE_OFFSET ||
        c->value.bytes.size() != ROOT_TABLE_OFFSET) {
      return Fail(error, "a header is 52 bytes");
    }
    return true;
  }
  return Fail(error, "a change is set, add, remove, lead or header");
}

bool PatchReader::Read(Patch* patch, std::string* error) {
  patch->changes.clear();
  std::string_view line;
  while (NextLine(&line)) {
    if (Consume(&line, "end ")) {
      int64_t n = -1;
      const std::size_t space = line.find(' ');
      std::string_view number = line.substr(0, space);
      std::from_chars(number.data(), number.data() + number.size(), n);
      const std::string_view word = space == std::string_view::npos ? "" : line.substr(space);
      if (n != static_cast<int64_t>(patch->changes.size()) ||
          word != (n == 1 ? " change" : " changes")) {
        return Fail(error, "the end line counts " + std::string(number) +
                               " changes, the patch holds " +
                               std::to_string(patch->changes.size()));
      }
      if (NextLine(&line)) return Fail(error, "text after the end line");
      return true;
    }
    PatchChange c;
    if (!Change(line, &c, error)) return false;
    patch->changes.push_back(std::move(c));
  }
  if (patch->changes.empty()) return true;
  *error = "the patch is cut short: its end line is missing";
  return false;
}

}  // namespace

Status ParsePatch(std::string_view text, const KeyNames& names, Patch* patch, int linesBefore) {
  std::string why;
  return PatchReader(text, names, linesBefore).Read(patch, &why) ? Status::Ok()
                                                                 : Status::Invalid(why);
}

// ---------------------------------------------------------------------------------------------
// Applying patches.

namespace {

using Table = EditedFile::Table;

// Applies patches to an edited file one after another, each change checked against what the
// patches before it left; what fails is collected, never applied.
class Applier {
 public:
  Applier(EditedFile& file, Table* root, const KeyNames& names)
      : file_(file), root_(root), names_(names) {}

  // False when the reading failed (an I/O error); failures go to *failures. With `places`, where
  // each change lies, as entry numbers of the file before the patch.
  Status Apply(const Patch& patch, std::vector<std::string>* failures,
               std::vector<ChangePlace>* places = nullptr);
  // The changes that write damaged tables, as the patches mark them, one line each.
  const std::vector<std::string>& damaged() const { return damaged_; }

 private:
  struct Place {
    Table* table = nullptr;
    uint32_t index = 0;
    std::vector<std::pair<Table*, uint32_t>> through;  // the references on the way
  };
  struct Op {
    const PatchChange* change;
    Place place;
  };

  // Finds the entry (whole = false) or the table (whole = true) that `elements` name. False with
  // *found saying what lies there instead; an I/O error goes to *io.
  bool Find(const std::vector<PathElement>& elements, bool table, Place* place, std::string* found,
            Status* io);
  bool Matches(const PatchValue& expected, const Table& t, uint32_t i, Status* io) const;
  std::string Describe(const Table& t, uint32_t i, Status* io) const;
  // The canonical path of entry i of a table whose own path is `tablePath`.
  std::string PathOf(const std::string& tablePath, const Table& t, uint32_t i) const;

  // Finds the entries that the patch's paths start from by their numbers.
  Status FindNumbered(const Patch& patch);

  // Each checks one change against the file as the changes before it left it. A change that
  // does not apply gets *why; only a failed read is a failing status.
  Status CheckEntry(const PatchChange& c, Place* place, std::string* why);
  Status CheckAdd(const PatchChange& c, Place* place, std::string* why);
  Status CheckLead(const PatchChange& c, Place* place, std::string* why);
  // A removal that says where its entry stands: its neighbours must be those.
  Status CheckNeighbours(const PatchChange& c, const Place& place, std::string* why);
  void CheckHeader(const PatchChange& c, std::string* why) const;
  // The changes that clash with none of the others of their patch; the rest fail.
  std::vector<Op> DropClashes(std::vector<Op> ops);
  void Write(const std::vector<Op>& clear);
  void Fail(const PatchChange& c, const std::string& what);

  EditedFile& file_;
  Table* root_;
  const KeyNames& names_;
  std::map<uint32_t, EditedFile::Way> numbered_;  // for the patch being applied
  uint64_t walked_ = 0;
  std::vector<std::string> damaged_;
  const Patch* patch_ = nullptr;  // the patch being applied, and where its failures go
  std::vector<std::string>* failures_ = nullptr;
};

std::string UnmarkedDamage(const PatchValue& value) {
  return "the new table is damaged (" + value.unmarkedDamage +
         "); a patch writes damage only where it says so: write table damaged raw \"...\" if "
         "that is meant";
}

Status Applier::FindNumbered(const Patch& patch) {
  std::set<uint32_t> wanted;
  for (const PatchChange& c : patch.changes) {
    for (const auto* elements : {&c.elements, &c.afterElements, &c.beforeElements}) {
      if (!elements->empty() && (*elements)[0].kind == PathElement::kCounted) {
        wanted.insert((*elements)[0].number);
      }
    }
  }
  numbered_.clear();
  if (wanted.empty()) return Status::Ok();
  const std::vector<uint64_t> numbers(wanted.begin(), wanted.end());
  std::vector<EditedFile::Way> ways;
  Status s = file_.FindNumbered(numbers, kDeepestPatchTable, &ways, &walked_);
  if (!s.ok()) return s;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    numbered_[static_cast<uint32_t>(numbers[k])] = std::move(ways[k]);
  }
  return Status::Ok();
}

bool Applier::Find(const std::vector<PathElement>& elements, bool table, Place* place,
                   std::string* found, Status* io) {
  Table* t = root_;
  std::string where;
  place->through.clear();
  for (std::size_t e = 0; e < elements.size(); ++e) {
    const PathElement& element = elements[e];
    std::vector<uint32_t> matches;
    const uint32_t count = EditedFile::Count(*t);
    if (element.kind == PathElement::kCounted) {
      const EditedFile::Way& way = numbered_[element.number];
      where = element.text;
      if (way.depth == 0) {
        *found = "no entry " + where + ": the file holds " + std::to_string(walked_);
        return false;
      }
      if (way.depth + elements.size() - 1 > static_cast<std::size_t>(kDeepestPatchTable)) {
        *found = "a path deeper than " + std::to_string(kDeepestPatchTable) +
                 " tables, beyond what a patch reaches";
        return false;
      }
      for (std::size_t k = 0; k + 1 < way.steps.size(); ++k) place->through.push_back(way.steps[k]);
      t = way.steps.back().first;
      matches.push_back(way.steps.back().second);
    } else if (element.kind == PathElement::kEntryNumber) {
      if (element.number < count) matches.push_back(element.number);
    } else {
      EditedFile::EntriesWithKey(*t, KeyOfElement(element, names_), &matches);
    }
    if (element.pick) {
      matches = *element.pick < matches.size() ? std::vector<uint32_t>{matches[*element.pick]}
                                               : std::vector<uint32_t>{};
    }
    if (element.kind != PathElement::kCounted) where += "/" + element.text;
    if (matches.empty()) {
      *found = "no entry " + where;
      return false;
    }
    if (matches.size() > 1) {
      *found = std::to_string(matches.size()) + " entries " + where;
      return false;
    }
    const uint32_t i = matches[0];
    if (!table && e + 1 == elements.size()) {
      place->table = t;
      place->index = i;
      return true;
    }
    Table* nested;
    Status s = file_.Nested(*t, i, &nested);
    if (s.ioError()) {
      *io = s;
      return false;
    }
    if (s.refused()) {
      *found = TypeWord(EditedFile::Type(*t, i)) + " " + where + ", not a table";
      return false;
    }
    if (s.damaged()) {
      *found = "a damaged table " + where + ": " + s.Message();
      return false;
    }
    place->through.push_back({t, i});
    t = nested;
  }
  place->table = t;
  return true;
}

bool Applier::Matches(const PatchValue& expected, const Table& t, uint32_t i, Status* io) const {
  if (EditedFile::Type(t, i) != expected.type) return false;
  const int64_t size = file_.Size(t, i);
  if (size != (expected.hashed ? expected.size : static_cast<int64_t>(expected.bytes.size()))) {
    return false;
  }
  uint64_t hash = kFnv1aStart;
  std::size_t at = 0;
  bool same = true;
  Status s = file_.ForEachPiece(t, i, [&](std::string_view piece) {
    if (expected.hashed) {
      hash = Fnv1a64(piece, hash);
    } else {
      same = same && expected.bytes.compare(at, piece.size(), piece) == 0;
      at += piece.size();
    }
  });
  if (!s.ok()) {
    *io = s;
    return false;
  }
  return expected.hashed ? hash == expected.hash : same;
}

std::string Applier::Describe(const Table& t, uint32_t i, Status* io) const {
  PatchValue v;
  v.type = EditedFile::Type(t, i);
  v.size = file_.Size(t, i);
  if (v.type != kTableType && v.size <= kShownExpected) {
    Status s = file_.Extent(t, i, &v.bytes);
    if (!s.ok()) *io = s;
    return PatchValueText(v, true);
  }
  v.hashed = true;
  v.hash = kFnv1aStart;
  Status s =
      file_.ForEachPiece(t, i, [&v](std::string_view piece) { v.hash = Fnv1a64(piece, v.hash); });
  if (!s.ok()) *io = s;
  return PatchValueText(v, true);
}

std::string Applier::PathOf(const std::string& tablePath, const Table& t, uint32_t i) const {
  const uint32_t key = EditedFile::Key(t, i);
  uint32_t before = 0, all = 0;
  for (uint32_t k = 0; k < EditedFile::Count(t); ++k) {
    if (EditedFile::Key(t, k) != key) continue;
    before += k < i;
    ++all;
  }
  std::string path = tablePath == "/" ? "/" : tablePath + "/";
  AppendKeyName(names_, key, &path);
  if (all > 1) path += "[" + std::to_string(before) + "]";
  return path;
}

void Applier::Fail(const PatchChange& c, const std::string& what) {
  const std::string where = c.kind == PatchChange::kLead ? "lead " + c.path : c.path;
  failures_->push_back(patch_->name + ": " + where + ": " + what);
}

Status Applier::CheckEntry(const PatchChange& c, Place* place, std::string* why) {
  Status io;
  std::string found;
  const std::string expected = PatchValueText(c.expected, true);
  if (!Find(c.elements, false, place, &found, &io)) {
    if (io.ok()) *why = "expected " + expected + ", found " + found;
    return io;
  }
  if (!Matches(c.expected, *place->table, place->index, &io)) {
    if (!io.ok()) return io;
    *why = "expected " + expected + ", found " + Describe(*place->table, place->index, &io);
    return io;
  }
  if (c.kind == PatchChange::kSet && !c.value.unmarkedDamage.empty()) {
    // Damage may stand for damage: only a sound table must not become a damaged one.
    Table* old;
    Status s = file_.Nested(*place->table, place->index, &old);
    if (s.ioError()) return s;
    if (!s.damaged()) *why = UnmarkedDamage(c.value);
    return Status::Ok();
  }
  if (c.kind == PatchChange::kRemove && c.placed) {
    if (!(io = CheckNeighbours(c, *place, why)).ok() || !why->empty()) return io;
  }
  if (c.kind == PatchChange::kRemove && c.alike >= 0) {
    const Table& t = *place->table;
    int64_t alike = 0;
    for (uint32_t k = 0; k < EditedFile::Count(t); ++k) {
      alike += EditedFile::Key(t, k) == EditedFile::Key(t, place->index);
    }
    if (alike != c.alike) {
      *why = "expected " + std::to_string(c.alike) + " entries with its key, found " +
             std::to_string(alike);
    }
  }
  return Status::Ok();
}

Status Applier::CheckAdd(const PatchChange& c, Place* place, std::string* why) {
  Status io;
  std::string found;
  std::string table = c.path.substr(0, c.path.rfind('/'));
  if (table.empty()) table = "/";
  const std::string expectedPlace = (c.after.empty() ? "the start" : c.after) + " followed by " +
                                    (c.before.empty() ? "the end" : c.before);
  if (!Find(c.elements, true, place, &found, &io)) {
    if (io.ok()) *why = "expected the table " + table + ", found " + found;
    return io;
  }
  Table& t = *place->table;
  // The new entry goes between `after` and `before`, which must be neighbours there.
  // Where a neighbour stands in this table; false when it is not there.
  auto neighbour = [&](const std::string& path, const std::vector<PathElement>& elements,
                       uint32_t* index) {
    Place p;
    if (!Find(elements, false, &p, &found, &io)) return false;
    if (p.table != &t) {
      found = path + " outside " + table;
      return false;
    }
    *index = p.index;
    return true;
  };
  uint32_t at = 0, next = EditedFile::Count(t);
  if ((!c.after.empty() && !neighbour(c.after, c.afterElements, &at)) ||
      (!c.before.empty() && !neighbour(c.before, c.beforeElements, &next))) {
    if (io.ok()) *why = "expected " + expectedPlace + ", found " + found;
    return io;
  }
  if (!c.after.empty()) ++at;
  if (next != at) {
    const std::string first = at == 0 ? "the start" : PathOf(table, t, at - 1);
    const std::string then = at == EditedFile::Count(t) ? "the end" : PathOf(table, t, at);
    *why = "expected " + expectedPlace + ", found " + first + " followed by " + then;
    return Status::Ok();
  }
  place->index = at;
  if (!c.value.unmarkedDamage.empty()) {
    *why = UnmarkedDamage(c.value);
    return Status::Ok();
  }
  if (c.alike >= 0) {
    int64_t alike = 0;
    for (uint32_t k = 0; k < EditedFile::Count(t); ++k) alike += EditedFile::Key(t, k) == c.key;
    if (alike != c.alike) {
      *why = "expected " + std::to_string(c.alike) + " entries with its key, found " +
             std::to_string(alike);
    }
  }
  return Status::Ok();
}

Status Applier::CheckNeighbours(const PatchChange& c, const Place& place, std::string* why) {
  std::string table = c.path.substr(0, c.path.rfind('/'));
  if (table.empty()) table = "/";
  const Table& t = *place.table;
  const uint32_t count = EditedFile::Count(t);
  // The entry's neighbours as the file holds them, and as the patch says.
  const std::string first = place.index == 0 ? "the start" : PathOf(table, t, place.index - 1);
  const std::string then = place.index + 1 == count ? "the end" : PathOf(table, t, place.index + 1);
  auto holds = [&](const std::string& path, const std::vector<PathElement>& elements, bool after,
                   Status* io) {
    if (path.empty()) return after ? place.index == 0 : place.index + 1 == count;
    Place p;
    std::string found;
    if (!Find(elements, false, &p, &found, io)) return false;
    return p.table == &t && p.index + (after ? 1 : 0) == place.index + (after ? 0 : 1);
  };
  Status io;
  const bool same =
      holds(c.after, c.afterElements, true, &io) && holds(c.before, c.beforeElements, false, &io);
  if (!io.ok()) return io;
  if (!same) {
    *why = "expected it after " + (c.after.empty() ? std::string("the start") : c.after) +
           " and before " + (c.before.empty() ? std::string("the end") : c.before) +
           ", found it after " + first + " and before " + then;
  }
  return Status::Ok();
}

Status Applier::CheckLead(const PatchChange& c, Place* place, std::string* why) {
  Status io;
  std::string found;
  const std::string expected = PatchValueText(c.expected, false);
  if (!Find(c.elements, true, place, &found, &io)) {
    if (io.ok()) *why = "expected a table with the lead " + expected + ", found " + found;
    return io;
  }
  std::string lead;
  if (!(io = file_.Lead(*place->table, &lead)).ok()) return io;
  const bool same = c.expected.hashed ? static_cast<int64_t>(lead.size()) == c.expected.size &&
                                            Fnv1a64(lead) == c.expected.hash
                                      : lead == c.expected.bytes;
  if (!same) {
    PatchValue v;
    v.bytes = lead;
    *why = "expected " + expected + ", found " + PatchValueText(v, false);
  }
  return Status::Ok();
}

void Applier::CheckHeader(const PatchChange& c, std::string* why) const {
  if (file_.header() != c.expected.bytes) {
    PatchValue v;
    v.bytes = file_.header();
    *why = "expected " + PatchValueText(c.expected, false) + ", found " + PatchValueText(v, false);
  }
}

std::vector<Applier::Op> Applier::DropClashes(std::vector<Op> ops) {
  // Changes of one patch name the file as it was before the patch: none may lie inside an entry
  // that another sets or removes, and no entry may be changed twice.
  std::set<std::pair<Table*, uint32_t>> claimed, twice;
  for (const Op& op : ops) {
    const auto kind = op.change->kind;
    if (kind != PatchChange::kSet && kind != PatchChange::kRemove) continue;
    if (!claimed.insert({op.place.table, op.place.index}).second) {
      twice.insert({op.place.table, op.place.index});
    }
  }
  std::vector<Op> clear;
  bool header = false;
  for (Op& op : ops) {
    const PatchChange& c = *op.change;
    bool inside = false;
    for (const auto& link : op.place.through) inside = inside || claimed.count(link) != 0;
    const bool isEntry = c.kind == PatchChange::kSet || c.kind == PatchChange::kRemove;
    if (inside) {
      Fail(c, "lies inside an entry that the patch also sets or removes");
    } else if (isEntry && twice.count({op.place.table, op.place.index}) != 0) {
      Fail(c, "the patch changes this entry more than once");
    } else if (c.kind == PatchChange::kHeader && header) {
      Fail(c, "the patch changes the header more than once");
    } else if (c.kind == PatchChange::kLead &&
               std::any_of(clear.begin(), clear.end(), [&](const Op& o) {
                 return o.change->kind == PatchChange::kLead && o.place.table == op.place.table;
               })) {
      Fail(c, "the patch changes this lead more than once");
    } else {
      header = header || c.kind == PatchChange::kHeader;
      clear.push_back(std::move(op));
    }
  }
  return clear;
}

void Applier::Write(const std::vector<Op>& clear) {
  // Values first, while every index still names what it named; then, table by table from the
  // back, entries taken out and added (in front of one entry, in the order the patch gives).
  struct Move {
    Table* table;
    uint32_t index;
    int order;  // a removal (-1) before the adds at its index, which go last first
    const PatchChange* change;
  };
  std::vector<Move> moves;
  for (std::size_t k = 0; k < clear.size(); ++k) {
    const Op& op = clear[k];
    const PatchChange& c = *op.change;
    if (!c.value.damage.empty()) {
      damaged_.push_back(patch_->name + ": " + c.path + ": writes a damaged table (" +
                         c.value.damage + ")");
    }
    switch (c.kind) {
      case PatchChange::kSet:
        file_.Set(*op.place.table, op.place.index, c.value.type, c.value.bytes);
        break;
      case PatchChange::kLead:
        file_.SetLead(*op.place.table, c.value.bytes);
        break;
      case PatchChange::kHeader:
        file_.SetHeader(c.value.bytes);
        break;
      case PatchChange::kRemove:
        moves.push_back({op.place.table, op.place.index, -1, &c});
        break;
      case PatchChange::kAdd:
        moves.push_back({op.place.table, op.place.index, static_cast<int>(k), &c});
        break;
    }
  }
  std::sort(moves.begin(), moves.end(), [](const Move& a, const Move& b) {
    if (a.table != b.table) return std::less<Table*>()(a.table, b.table);
    if (a.index != b.index) return a.index > b.index;
    if ((a.order == -1) != (b.order == -1)) return a.order == -1;
    return a.order > b.order;
  });
  for (const Move& m : moves) {
    if (m.order == -1) {
      file_.Remove(*m.table, m.index);
    } else {
      file_.Insert(*m.table, m.index, m.change->key, m.change->value.type, m.change->value.bytes);
    }
  }
}

Status Applier::Apply(const Patch& patch, std::vector<std::string>* failures,
                      std::vector<ChangePlace>* places) {
  patch_ = &patch;
  failures_ = failures;
  const std::size_t failedBefore = failures->size();
  Status io;
  if (!(io = FindNumbered(patch)).ok()) return io;
  // Every change is checked against the file as the patches before this one left it.
  std::vector<Op> ops;
  for (const PatchChange& c : patch.changes) {
    Op op{&c, {}};
    std::string why;
    switch (c.kind) {
      case PatchChange::kSet:
      case PatchChange::kRemove:
        io = CheckEntry(c, &op.place, &why);
        break;
      case PatchChange::kAdd:
        io = CheckAdd(c, &op.place, &why);
        break;
      case PatchChange::kLead:
        io = CheckLead(c, &op.place, &why);
        break;
      case PatchChange::kHeader:
        CheckHeader(c, &why);
        break;
    }
    if (!why.empty()) Fail(c, why);
    if (!io.ok()) return io;
    if (!why.empty()) continue;
    ops.push_back(std::move(op));
  }
  const std::vector<Op> clear = DropClashes(std::move(ops));
  if (places != nullptr) {
    places->assign(patch.changes.size(), {});
    for (const Op& op : clear) {
      ChangePlace& place = (*places)[static_cast<std::size_t>(op.change - patch.changes.data())];
      for (const auto& step : op.place.through) place.way.push_back(step.second);
      place.index = op.place.index;
    }
  }
  Write(clear);
  const bool header = std::any_of(clear.begin(), clear.end(), [](const Op& op) {
    return op.change->kind == PatchChange::kHeader;
  });
  if (header && failures->size() == failedBefore) {
    const std::string& h = file_.header();
    for (const Op& op : clear) {
      if (op.change->kind != PatchChange::kHeader) continue;
      if (h != op.change->value.bytes) {
        Fail(*op.change, "the new header's sizes do not follow the length of " +
                             std::to_string(file_.length()) + " bytes that the patch gives");
      }
    }
  }
  return Status::Ok();
}

}  // namespace

namespace {

Status RunPatches(PositionedFile& file, int64_t length, const std::vector<Patch>& patches,
                  const KeyNames& names, ChangeTarget* target, PatchOutcome* outcome,
                  std::vector<ChangePlace>* places) {
  // Whatever keeps a patch from being read or checked, but a damaged root, is trouble.
  auto trouble = [](const Status& s) { return Status::IoError(s.err(), s.Message()); };
  EditedFile edited(file, length);
  Table* root;
  Status s = edited.Root(&root);
  if (s.damaged()) return Status::Damaged("the root table is damaged: " + s.Message());
  if (!s.ok()) return trouble(s);
  Applier applier(edited, root, names);
  for (const Patch& patch : patches) {
    if (!(s = applier.Apply(patch, &outcome->failures, places)).ok()) return trouble(s);
  }
  outcome->damaged = applier.damaged();
  if (!outcome->failures.empty() || target == nullptr) return Status::Ok();
  s = edited.Commit(*target);
  if (s.ioError() || s.ok()) return s;
  return Status::Refused("change refused: " + s.Message());
}

}  // namespace

Status ApplyPatches(PositionedFile& file, int64_t length, const std::vector<Patch>& patches,
                    const KeyNames& names, ChangeTarget* target, PatchOutcome* outcome) {
  return RunPatches(file, length, patches, names, target, outcome, nullptr);
}

Status LocatePatch(PositionedFile& file, int64_t length, const Patch& patch, const KeyNames& names,
                   std::vector<ChangePlace>* places, PatchOutcome* outcome) {
  return RunPatches(file, length, {patch}, names, nullptr, outcome, places);
}

}  // namespace atb
