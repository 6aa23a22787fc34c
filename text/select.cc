#include "text/select.h"

#include <regex.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <deque>
#include <optional>

#include "platform/quote.h"
#include "store/coding.h"
#include "store/layout.h"
#include "store/table.h"
#include "store/text_end.h"
#include "store/tree_walk.h"
#include "store/utf.h"
#include "text/value_text.h"

namespace atb {

struct SelectRegex {
  regex_t compiled;
  bool held = false;
  ~SelectRegex() {
    if (held) regfree(&compiled);
  }
  bool Matches(const std::string& text) const {
    return regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
  }
};

namespace {

// A token shown in a message is cut to this many bytes.
constexpr std::size_t kShownToken = 24;
constexpr uint32_t kLargestCount = 255;
// The matcher copies what a + repeats, so nested ones double the pattern each.
constexpr std::ptrdiff_t kMostPluses = 8;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The UTF-8 form of code units; an unpaired surrogate as the three bytes it would take.
std::string Utf8OfUnits(const std::vector<uint16_t>& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size();)
    AppendUtf8(NextUtf16(units.data(), units.size(), &i), &out);
  return out;
}

// Why a pattern is refused before it is compiled, or empty.
std::string RefusedPattern(const std::string& pattern) {
  if (pattern.size() > kLongestPattern) {
    return "at most " + std::to_string(kLongestPattern) + " bytes";
  }
  if (pattern.find('\0') != std::string::npos) return "no zero byte";
  for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] == '\\' && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
      return "no back-reference";
    }
  }
  if (std::count(pattern.begin(), pattern.end(), '+') > kMostPluses) {
    return "at most " + std::to_string(kMostPluses) + " +";
  }
  const std::size_t brace = pattern.find('{');
  if (brace == std::string::npos) return {};
  if (pattern.find('{', brace + 1) != std::string::npos) return "at most one {m,n}";
  for (std::size_t i = brace + 1; i < pattern.size() && pattern[i] != '}';) {
    if (!IsDigit(pattern[i])) {
      ++i;
      continue;
    }
    uint32_t count = 0;
    auto r = std::from_chars(pattern.data() + i, pattern.data() + pattern.size(), count);
    if (r.ec != std::errc() || count > kLargestCount) {
      return "counts of {m,n} up to " + std::to_string(kLargestCount);
    }
    i = static_cast<std::size_t>(r.ptr - pattern.data());
  }
  return {};
}

class Parser {
 public:
  Parser(std::string_view text, const KeyNames& names, Selector* out)
      : s_(text), names_(names), out_(out) {}

  Status Run() {
    Status s;
    if (At('@')) {
      if (!(s = Counted()).ok() || pos_ == s_.size()) return s;
      if (!At('/')) return Fail(pos_, "'/' after @N");
      ++pos_;
    } else if (At('/')) {
      ++pos_;
    }
    for (;;) {
      if (pos_ == s_.size()) {
        return Fail(pos_, out_->steps.empty() && out_->counted == 0
                              ? "an element: a key, * or ** (/** selects every entry)"
                              : "an element: a key, *, ** or a filter [?...]");
      }
      if (!(s = Element()).ok()) return s;
      if (pos_ == s_.size()) break;
      if (!At('/')) return Fail(pos_, "'/' or a filter [?...]");
      ++pos_;
    }
    std::size_t deep = 0;
    for (std::size_t k = 0; k < out_->steps.size(); ++k) {
      const SelectStep& step = out_->steps[k];
      if (step.kind != SelectStep::kDeep) continue;
      if (++deep > kMostDeepSteps) {
        return Fail(step.offset, "at most " + std::to_string(kMostDeepSteps) + " ** in a selector");
      }
      if (!step.filters.empty() && k + 1 < out_->steps.size()) {
        return Fail(step.offset + 2,
                    "'/' (a filter on ** holds only when it is last: put it on "
                    "the element after)");
      }
    }
    return Status::Ok();
  }

 private:
  bool At(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
  void SkipBlanks() {
    while (At(' ')) ++pos_;
  }

  std::string TokenAt(std::size_t at) const {
    if (at >= s_.size()) return "the end";
    std::size_t end = at + 1;
    const char c = s_[at];
    if (c == '"') {
      while (end < s_.size() && s_[end] != '"') end += s_[end] == '\\' ? 2 : 1;
      end = std::min(end + 1, s_.size());
    } else if (c == '[') {
      // A filter is shown by its opening, a pick whole.
      if (end < s_.size() && s_[end] == '?') {
        ++end;
      } else {
        while (end < s_.size() && s_[end - 1] != ']' && s_[end] != '/') ++end;
      }
    } else if (std::string_view("=!<>~").find(c) != std::string_view::npos) {
      while (end < s_.size() && std::string_view("=!<>~").find(s_[end]) != std::string_view::npos) {
        ++end;
      }
    } else if (c != '/' && c != ']' && c != ' ') {
      while (end < s_.size() &&
             std::string_view("/[] \"=!<>~").find(s_[end]) == std::string_view::npos) {
        ++end;
      }
    }
    std::string token(s_.substr(at, std::min(end - at, kShownToken)));
    std::string shown(1, '\'');
    shown += Printable(token);
    shown += end - at > kShownToken ? "...'" : "'";
    return shown;
  }

  Status Fail(std::size_t at, const std::string& expected) const {
    return Status::Invalid("at byte " + std::to_string(at) + ": found " + TokenAt(at) +
                           ", expected " + expected);
  }

  // A run of digits at pos_ as a number of 32 bits; false when there is none or it is too large.
  bool Number(uint32_t* n) {
    std::size_t end = pos_;
    while (end < s_.size() && IsDigit(s_[end])) ++end;
    auto r = std::from_chars(s_.data() + pos_, s_.data() + end, *n);
    if (end == pos_ || r.ec != std::errc()) return false;
    pos_ = end;
    return true;
  }

  Status Counted() {
    pos_ = 1;
    if (!Number(&out_->counted) || out_->counted == 0) {
      return Fail(1, "the number of an entry after @, from 1 to 4294967295");
    }
    return Status::Ok();
  }

  Status Element();
  Status Suffixes(SelectStep* step);
  Status Filter(SelectStep* step);
  Status Quoted(std::string* bytes, const std::string& what);
  Status Regex(std::size_t at, SelectFilter* filter);
  Status ValueOperand(SelectFilter* filter);

  std::string_view s_;
  const KeyNames& names_;
  Selector* out_;
  std::size_t pos_ = 0;
};

Status Parser::Element() {
  SelectStep step;
  step.offset = pos_;
  if (At('"')) {
    std::string word;
    Status s = Quoted(&word, "a quoted key");
    if (!s.ok()) return s;
    if (word.empty()) return Fail(step.offset, "a key inside the quotes");
    step.element.kind = PathElement::kWord;
    step.element.text = std::string(s_.substr(step.offset, pos_ - step.offset));
    step.element.word = std::move(word);
  } else if (At('[')) {
    if (pos_ + 1 >= s_.size() || s_[pos_ + 1] != '?') {
      return Fail(pos_, "a key, * or ** in front of [k]");
    }
    step.kind = SelectStep::kAny;
  } else {
    const std::size_t end = std::min(s_.find_first_of("/[", pos_), s_.size());
    const std::string_view text = s_.substr(pos_, end - pos_);
    if (text == "*") {
      step.kind = SelectStep::kAny;
    } else if (text == "**") {
      step.kind = SelectStep::kDeep;
    } else if (!ParsePathElement(text, &step.element).ok() ||
               step.element.kind == PathElement::kCounted) {
      return Fail(pos_, "a key: a label, a word, a number below 2^32 or #N");
    }
    pos_ = end;
  }
  if (step.kind == SelectStep::kElement) step.key = KeyOfElement(step.element, names_);
  Status s = Suffixes(&step);
  if (!s.ok()) return s;
  out_->steps.push_back(std::move(step));
  return Status::Ok();
}

// A pick [k] right after a key, then filters.
Status Parser::Suffixes(SelectStep* step) {
  while (At('[')) {
    if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '?') {
      Status s = Filter(step);
      if (!s.ok()) return s;
      continue;
    }
    if (step->kind != SelectStep::kElement) {
      return Fail(pos_, "a filter [?...] (a pick [k] follows a key)");
    }
    if (step->element.pick || !step->filters.empty()) {
      return Fail(pos_, "a filter [?...] (one pick [k], right after the key)");
    }
    ++pos_;
    uint32_t k;
    if (!Number(&k)) return Fail(pos_, "the number k of a pick [k]");
    if (!At(']')) return Fail(pos_, "']' closing the pick");
    ++pos_;
    step->element.pick = k;
    step->element.text.push_back('[');
    step->element.text += std::to_string(k);
    step->element.text.push_back(']');
  }
  return Status::Ok();
}

Status Parser::Quoted(std::string* bytes, const std::string& what) {
  const std::size_t at = pos_;
  std::string error;
  if (!At('"')) return Fail(at, what);
  if (!ParseQuotedBytes(s_, &pos_, bytes, &error)) {
    pos_ = at;
    return Fail(at, what + " (" + error + ")");
  }
  return Status::Ok();
}

Status Parser::Regex(std::size_t at, SelectFilter* filter) {
  std::string pattern;
  Status s = Quoted(&pattern, "a quoted regular expression");
  if (!s.ok()) return s;
  const std::string refused = RefusedPattern(pattern);
  if (!refused.empty()) return Fail(at, "a regular expression of " + refused);
  auto regex = std::make_shared<SelectRegex>();
  const int code = regcomp(&regex->compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB);
  if (code != 0) {
    char why[256];
    regerror(code, &regex->compiled, why, sizeof why);
    return Fail(at, std::string("a regular expression (") + why + ")");
  }
  regex->held = true;
  filter->regex = std::move(regex);
  return Status::Ok();
}

Status Parser::ValueOperand(SelectFilter* filter) {
  const std::size_t at = pos_;
  if (filter->op == SelectFilter::kMatches) return Regex(at, filter);
  if (At('"')) {
    filter->operand = SelectFilter::kText;
    return Quoted(&filter->bytes, "a quoted text");
  }
  if (At('u') && pos_ + 1 < s_.size() && s_[pos_ + 1] == '"') {
    std::vector<uint16_t> units;
    std::string error;
    if (!ParseQuotedWide(s_, &pos_, &units, &error)) {
      pos_ = at;
      return Fail(at, "a localized text u\"...\" (" + error + ")");
    }
    filter->operand = SelectFilter::kLocalized;
    filter->bytes = Utf8OfUnits(units);
    return Status::Ok();
  }
  const std::size_t end = std::min(s_.find_first_of(" ]", pos_), s_.size());
  if (!ParseFloatText(s_.substr(pos_, end - pos_), &filter->bits)) {
    return Fail(at, "a number, a quoted text or a localized text u\"...\"");
  }
  filter->operand = SelectFilter::kNumber;
  pos_ = end;
  return Status::Ok();
}

Status Parser::Filter(SelectStep* step) {
  SelectFilter filter;
  pos_ += 2;
  SkipBlanks();
  const std::size_t subjectAt = pos_;
  std::size_t end = pos_;
  while (end < s_.size() && IsLetter(s_[end])) ++end;
  const std::string_view subject = s_.substr(pos_, end - pos_);
  if (subject == "type") {
    filter.subject = SelectFilter::kType;
  } else if (subject == "value") {
    filter.subject = SelectFilter::kValue;
  } else if (subject == "name") {
    filter.subject = SelectFilter::kName;
  } else {
    return Fail(subjectAt, "type, value or name");
  }
  pos_ = end;
  SkipBlanks();
  const std::size_t opAt = pos_;
  static constexpr std::pair<std::string_view, SelectFilter::Op> kOps[] = {
      {"!=", SelectFilter::kNotEqual},     {"<=", SelectFilter::kLessEqual},
      {">=", SelectFilter::kGreaterEqual}, {"=", SelectFilter::kEqual},
      {"<", SelectFilter::kLess},          {">", SelectFilter::kGreater},
      {"~", SelectFilter::kMatches}};
  const auto op = std::find_if(std::begin(kOps), std::end(kOps), [&](const auto& o) {
    return s_.substr(pos_, o.first.size()) == o.first;
  });
  if (op == std::end(kOps)) return Fail(opAt, "one of = != < <= > >= ~");
  filter.op = op->second;
  pos_ += op->first.size();
  const bool equality = filter.op == SelectFilter::kEqual || filter.op == SelectFilter::kNotEqual;
  SkipBlanks();
  Status s;
  if (filter.subject == SelectFilter::kType) {
    if (!equality) return Fail(opAt, "= or != after type");
    const std::size_t at = pos_;
    end = pos_;
    while (end < s_.size() && (IsLetter(s_[end]) || IsDigit(s_[end]))) ++end;
    const std::string_view word = s_.substr(pos_, end - pos_);
    static constexpr std::pair<std::string_view, EntryType> kTypes[] = {
        {"float", EntryType::Float},
        {"bool", EntryType::Bool},
        {"text", EntryType::Text},
        {"localized", EntryType::LocalizedText},
        {"table", EntryType::Reference}};
    const auto type = std::find_if(std::begin(kTypes), std::end(kTypes),
                                   [&](const auto& t) { return t.first == word; });
    if (type != std::end(kTypes)) {
      filter.type = static_cast<uint32_t>(type->second);
      pos_ = end;
    } else if (!Number(&filter.type) || pos_ != end) {
      pos_ = at;
      return Fail(at, "float, bool, text, localized, table or a type number");
    }
  } else if (filter.subject == SelectFilter::kName) {
    if (!equality && filter.op != SelectFilter::kMatches)
      return Fail(opAt, "=, != or ~ after name");
    filter.operand = SelectFilter::kText;
    s = filter.op == SelectFilter::kMatches ? Regex(pos_, &filter)
                                            : Quoted(&filter.bytes, "a quoted name");
  } else {
    s = ValueOperand(&filter);
  }
  if (!s.ok()) return s;
  SkipBlanks();
  if (!At(']')) return Fail(pos_, "']' closing the filter");
  ++pos_;
  out_->longestOperand = std::max(out_->longestOperand, filter.bytes.size());
  step->filters.push_back(std::move(filter));
  return Status::Ok();
}

}  // namespace

namespace {

// An entry's value as the filters compare it: a number (floats and bools), or a text's bytes
// (a localized text's UTF-8 form), read up to a bound.
struct EntryValue {
  enum Kind { kNone, kNumber, kText, kLocalized };
  Kind kind = kNone;
  bool isFloat = false;
  uint32_t bits = 0;
  float number = 0;
  std::string bytes;   // the text, or its first bytes when `cut`
  bool cut = false;    // only the first bytes are held
  int64_t stored = 0;  // the text's length as stored, in bytes
};

// A table the walk holds: which steps its entries are matched against, and what is known of it.
struct State {
  uint32_t step;
  uint32_t named = 0;  // references matched so far by the name they list, for a pick
};
struct Frame {
  std::vector<State> states;
  bool below = false;                           // inside an entry taken with everything below it
  std::size_t pathLength = 0;                   // of the table's own path, as dump counts it
  std::vector<std::pair<uint32_t, bool>> held;  // keys looked up in the table, and whether found
  bool Inert() const { return states.empty() && !below; }
};

class Matcher : public TreeVisitor {
 public:
  Matcher(const Selector& selector, const KeyNames& names,
          const std::function<Status(const SelectedEntry&)>& visit,
          const std::function<Status(const SelectedEntry&, const Status&)>& damaged)
      : sel_(selector), names_(names), visit_(visit), damaged_(damaged) {
    textLimit_ = std::max(kLongestMatchedText, sel_.longestOperand + 2);
  }
  bool stopped() const { return stopped_; }

  Status Entry(TreeWalk& walk, const CursorEntry& e) override {
    // A reference is met once the walk has looked into its table: its name may decide.
    if (e.Is(EntryType::Reference)) {
      pending_ = e;
      return Status::Ok();
    }
    return Meet(walk, walk.depth() - 1, e, nullptr, nullptr);
  }
  Status EnterTable(TreeWalk& walk, const WalkTable& table) override {
    if (table.level > 0) return Meet(walk, table.level - 1, pending_, &table, nullptr);
    Frame root;
    if (sel_.counted == 0) {
      root.states.push_back({0});
      Close(&root.states);
    }
    seeking_ = sel_.counted != 0;
    frames_.push_back(std::move(root));
    return Status::Ok();
  }
  Status LeaveTable(TreeWalk&, const WalkTable& table) override {
    frames_.pop_back();
    if (countedLevel_ && table.level == *countedLevel_ + 1) return Stop();
    return Status::Ok();
  }
  Status Damaged(TreeWalk& walk, const CursorEntry* e, const Status& why) override {
    if (e == nullptr) return Status::Damaged("the table / is damaged: " + why.Message());
    return Meet(walk, walk.depth() - 1, *e, nullptr, &why);
  }

 private:
  // What the filters of one entry have asked, each read once.
  struct Facts {
    TreeWalk& walk;
    std::size_t level;
    const CursorEntry& e;
    const WalkTable* table;  // the sound table it holds, when a reference
    Status status;
    std::optional<int32_t> pick;
    std::optional<std::optional<std::string>> name;
    std::optional<EntryValue> value;
  };

  Status Stop() {
    stopped_ = true;
    return Status::Refused("stopped");
  }

  // Adds the steps that a `**` lets start in the same table, and keeps each step once.
  void Close(std::vector<State>* states) const {
    for (std::size_t k = 0; k < states->size(); ++k) {
      const uint32_t step = (*states)[k].step;
      if (sel_.steps[step].kind == SelectStep::kDeep && step + 1 < sel_.steps.size()) {
        states->push_back({step + 1});
      }
    }
    std::sort(states->begin(), states->end(),
              [](const State& a, const State& b) { return a.step < b.step; });
    states->erase(std::unique(states->begin(), states->end(),
                              [](const State& a, const State& b) { return a.step == b.step; }),
                  states->end());
  }

  Status Meet(TreeWalk& walk, std::size_t level, const CursorEntry& e, const WalkTable* table,
              const Status* why);
  bool ElementMatches(const SelectStep& step, State& state, Facts& facts);
  bool FiltersHold(const SelectStep& step, Facts& facts);
  bool ValueHolds(const SelectFilter& filter, Facts& facts);
  int32_t Pick(Facts& facts);
  const std::optional<std::string>& Name(Facts& facts);
  const EntryValue& Value(Facts& facts);
  Status ReadValue(ByteSource& source, const CursorEntry& e, EntryValue* value) const;
  bool HoldsKey(Facts& facts, uint32_t key);
  Status PathOf(TreeWalk& walk, std::size_t level, const CursorEntry& e, std::string* path,
                std::size_t* nested);

  const Selector& sel_;
  const KeyNames& names_;
  const std::function<Status(const SelectedEntry&)>& visit_;
  const std::function<Status(const SelectedEntry&, const Status&)>& damaged_;
  std::size_t textLimit_;
  std::deque<Frame> frames_;
  CursorEntry pending_;
  std::vector<State> next_;
  bool seeking_ = false;  // the entry @N is still ahead
  std::optional<std::size_t> countedLevel_;
  bool stopped_ = false;
  // The paths as dump builds them: one path, cut back to a table's own for its next entry.
  std::string path_, element_;
  SelectedEntry selected_;
};

int32_t Matcher::Pick(Facts& facts) {
  if (!facts.pick) {
    int32_t pick = -1;
    Status s = facts.walk.Pick(facts.level, &pick);
    if (!s.ok()) facts.status = s;
    facts.pick = pick;
  }
  return *facts.pick;
}

const std::optional<std::string>& Matcher::Name(Facts& facts) {
  if (!facts.name) {
    facts.name.emplace();
    if (facts.table != nullptr) {
      bool listed = false;
      std::string name;
      Status s = ReadReferenceName(facts.walk.window(), facts.table->start, facts.table->end,
                                   &listed, &name);
      if (!s.ok()) facts.status = s;
      if (s.ok() && listed) *facts.name = std::move(name);
    }
  }
  return *facts.name;
}

const EntryValue& Matcher::Value(Facts& facts) {
  if (!facts.value) {
    facts.value.emplace();
    Status s = ReadValue(facts.walk.window(), facts.e, &*facts.value);
    if (!s.ok()) {
      facts.status = s;
      facts.value->kind = EntryValue::kNone;
    }
  }
  return *facts.value;
}

Status Matcher::ReadValue(ByteSource& source, const CursorEntry& e, EntryValue* v) const {
  const int64_t size = e.end - e.start;
  if (e.Is(EntryType::Float) || e.Is(EntryType::Bool)) {
    const bool isFloat = e.Is(EntryType::Float);
    if (size < (isFloat ? 4 : 1)) return Status::Ok();
    uint8_t bytes[4];
    Status s = source.ReadAt(e.start, bytes, isFloat ? 4 : 1);
    if (!s.ok()) return s;
    v->kind = EntryValue::kNumber;
    v->isFloat = isFloat;
    v->bits = isFloat ? DecodeFixed32(bytes) : bytes[0];
    v->number = isFloat ? std::bit_cast<float>(v->bits) : static_cast<float>(bytes[0]);
    return Status::Ok();
  }
  const bool wide = e.Is(EntryType::LocalizedText);
  if ((!wide && !e.Is(EntryType::Text)) || size == 0) return Status::Ok();
  int64_t zero;
  Status s = FindZero(source, e.start, e.end, wide ? 2 : 1, &zero);
  if (!s.ok() || zero < 0) return s;
  v->stored = zero - e.start;
  const int64_t unit = wide ? 2 : 1;
  const int64_t held = std::min<int64_t>(v->stored, static_cast<int64_t>(textLimit_) * unit);
  v->cut = held < v->stored;
  std::string raw(static_cast<std::size_t>(held), '\0');
  if (!(s = source.ReadAt(e.start, raw.data(), raw.size())).ok()) return s;
  v->kind = wide ? EntryValue::kLocalized : EntryValue::kText;
  if (!wide) {
    v->bytes = std::move(raw);
    return Status::Ok();
  }
  std::vector<uint16_t> units = DecodeUtf16LE(raw);
  // A pair cut in two would show its first half as an unpaired surrogate.
  if (v->cut && !units.empty() && units.back() >= 0xD800 && units.back() < 0xDC00) units.pop_back();
  v->bytes = Utf8OfUnits(units);
  return Status::Ok();
}

bool Matcher::HoldsKey(Facts& facts, uint32_t key) {
  Frame& frame = frames_[facts.level];
  for (const auto& [k, found] : frame.held) {
    if (k == key) return found;
  }
  const WalkTable& table = facts.walk.table(facts.level);
  bool found = false;
  int64_t start, end;
  Status s = FindFirstKey(facts.walk.window(), table.start, table.end, key, &found, &start, &end);
  if (!s.ok()) facts.status = s;
  frame.held.emplace_back(key, found);
  return found;
}

bool Matcher::ElementMatches(const SelectStep& step, State& state, Facts& facts) {
  const PathElement& element = step.element;
  const auto picked = [&](int32_t k) {
    return !element.pick || static_cast<int64_t>(*element.pick) == k;
  };
  if (element.kind == PathElement::kEntryNumber) {
    return facts.e.index == element.number && picked(0);
  }
  if (facts.e.ID == step.key) return picked(std::max(Pick(facts), 0));
  // A word that names no key of the table names the references that list it.
  if (element.kind != PathElement::kWord || facts.table == nullptr || HoldsKey(facts, step.key)) {
    return false;
  }
  const std::optional<std::string>& name = Name(facts);
  if (!name || *name != element.word) return false;
  return picked(state.named++);
}

bool Matcher::ValueHolds(const SelectFilter& f, Facts& facts) {
  const EntryValue& v = Value(facts);
  if (f.op == SelectFilter::kMatches) {
    return (v.kind == EntryValue::kText || v.kind == EntryValue::kLocalized) && !v.cut &&
           v.stored <= static_cast<int64_t>(kLongestMatchedText) && f.regex->Matches(v.bytes);
  }
  int order;
  if (f.operand == SelectFilter::kNumber) {
    if (v.kind != EntryValue::kNumber) return false;
    const float operand = std::bit_cast<float>(f.bits);
    if (std::isnan(operand)) {
      // A NaN by its bits: equal to a float of the same bits only, and in no order.
      const bool same = v.isFloat && v.bits == f.bits;
      return f.op == SelectFilter::kEqual ? same : f.op == SelectFilter::kNotEqual && !same;
    }
    if (std::isnan(v.number)) return f.op == SelectFilter::kNotEqual;
    order = v.number < operand ? -1 : v.number > operand ? 1 : 0;
  } else {
    const EntryValue::Kind kind =
        f.operand == SelectFilter::kText ? EntryValue::kText : EntryValue::kLocalized;
    if (v.kind != kind) return false;
    // The bytes held reach past the operand, so the order is the whole text's.
    order = std::string_view(v.bytes).compare(f.bytes);
  }
  switch (f.op) {
    case SelectFilter::kEqual:
      return order == 0;
    case SelectFilter::kNotEqual:
      return order != 0;
    case SelectFilter::kLess:
      return order < 0;
    case SelectFilter::kLessEqual:
      return order <= 0;
    case SelectFilter::kGreater:
      return order > 0;
    default:
      return order >= 0;
  }
}

bool Matcher::FiltersHold(const SelectStep& step, Facts& facts) {
  for (const SelectFilter& f : step.filters) {
    bool holds = false;
    if (f.subject == SelectFilter::kType) {
      holds = (facts.e.Type == f.type) == (f.op == SelectFilter::kEqual);
    } else if (f.subject == SelectFilter::kName) {
      const std::optional<std::string>& name = Name(facts);
      if (!name) {
        holds = false;
      } else if (f.op == SelectFilter::kMatches) {
        holds = name->size() <= kLongestMatchedText && f.regex->Matches(*name);
      } else {
        holds = (*name == f.bytes) == (f.op == SelectFilter::kEqual);
      }
    } else {
      holds = ValueHolds(f, facts);
    }
    if (!holds || !facts.status.ok()) return false;
  }
  return true;
}

Status Matcher::PathOf(TreeWalk& walk, std::size_t level, const CursorEntry& e, std::string* path,
                       std::size_t* nested) {
  int32_t pick;
  Status s = walk.Pick(level, &pick);
  if (!s.ok()) return s;
  element_.clear();
  AppendPathElement(names_, e.ID, pick, &element_);
  const std::size_t tableLength = frames_[level].pathLength;
  path->clear();
  if (PrintedInFull(tableLength, element_.size())) {
    path_.resize(tableLength);
    path_.push_back('/');
    path_.append(element_);
    path->append(path_);
    *nested = path_.size();
  } else {
    AppendCountedPath(walk.table(level).holder, element_, path);
    *nested = kLongestFullPath;
  }
  return Status::Ok();
}

// Matches entry `e` of the table held at `level` against that table's steps; for a reference,
// once its table is entered (`table`) or found damaged (`why`).
Status Matcher::Meet(TreeWalk& walk, std::size_t level, const CursorEntry& e,
                     const WalkTable* table, const Status* why) {
  Frame& frame = frames_[level];
  if (frame.Inert() && !seeking_) {
    if (table != nullptr) frames_.push_back({{}, false, kLongestFullPath, {}});
    return Status::Ok();
  }
  const bool counted = seeking_ && walk.walked() == sel_.counted;
  const bool reference = e.Is(EntryType::Reference);
  const std::size_t last = sel_.steps.size() - (sel_.steps.empty() ? 0 : 1);
  Facts facts{walk, level, e, table, Status::Ok(), {}, {}, {}};
  bool selected = frame.below || (counted && sel_.steps.empty());
  next_.clear();
  for (State& state : frame.states) {
    const SelectStep& step = sel_.steps[state.step];
    if (step.kind == SelectStep::kDeep) {
      if (reference) next_.push_back({state.step});
      if (state.step == last && FiltersHold(step, facts)) selected = true;
      continue;
    }
    if (step.kind == SelectStep::kElement && !ElementMatches(step, state, facts)) continue;
    if (!FiltersHold(step, facts)) continue;
    if (state.step == last) {
      selected = true;
    } else if (reference) {
      next_.push_back({state.step + 1});
    }
  }
  if (!facts.status.ok()) return facts.status;
  if (counted) {
    seeking_ = false;
    countedLevel_ = level;
    if (reference && !sel_.steps.empty()) next_.push_back({0});
  }
  Close(&next_);
  const bool below = frame.below || (sel_.below && selected);
  const bool inside = reference && (!next_.empty() || below || seeking_);
  std::size_t nested = kLongestFullPath;
  if (selected || inside) {
    Status s = PathOf(walk, level, e, &selected_.path, &nested);
    if (!s.ok()) return s;
    selected_.type = e.Type;
    selected_.start = e.start;
    selected_.end = e.end;
    selected_.depth = static_cast<int>(level);
    selected_.number = walk.walked();
    selected_.source = &walk.window();
  }
  if (selected) {
    Status s = visit_(selected_);
    if (!s.ok()) return s;
  }
  if (why != nullptr && inside && damaged_) {
    Status s = damaged_(selected_, *why);
    if (!s.ok()) return s;
  }
  if (table != nullptr)
    frames_.push_back({inside ? next_ : std::vector<State>{}, below, nested, {}});
  if (counted && table == nullptr) return Stop();
  return Status::Ok();
}

}  // namespace

Status ParseSelector(std::string_view text, const KeyNames& names, Selector* selector) {
  Selector parsed;
  Status s = Parser(text, names, &parsed).Run();
  if (s.ok()) *selector = std::move(parsed);
  return s;
}

Status SelectEntries(ByteSource& file, int64_t length, const Selector& selector,
                     const KeyNames& names,
                     const std::function<Status(const SelectedEntry&)>& visit,
                     const std::function<Status(const SelectedEntry&, const Status&)>& damaged) {
  // The window sized to the file, up to 1 MiB, and a reference's name past its end: a search
  // of many small files reads each in one piece.
  WalkOptions options;
  options.picks = true;
  options.window = static_cast<std::size_t>(std::min<int64_t>(
      std::max<int64_t>(length - ROOT_TABLE_OFFSET, 0) + REF_NAME_LIMIT, 1 << 20));
  TreeWalk walk(file, options);
  Matcher matcher(selector, names, visit, damaged);
  Status s = walk.Run(ROOT_TABLE_OFFSET, length, matcher);
  return matcher.stopped() ? Status::Ok() : s;
}

}  // namespace atb
