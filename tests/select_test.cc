// Selectors against a model of random trees, what they refuse, and the find and dump commands
// that take them.
#include "text/select.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <functional>
#include <regex>
#include <set>

#include "atbutil/commands.h"
#include "labels/key_hash.h"
#include "store/layout.h"
#include "store/table.h"
#include "store/utf.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/dump.h"
#include "text/paths.h"

namespace atb {
namespace {

using namespace build;

// ---------------------------------------------------------------------------------------------
// The model: a file's entries as dump meets them, and selectors over them evaluated by their
// definition, table by table.

struct Node {
  uint32_t key = 0, type = 0;
  Bytes value;  // the whole extent; a reference's table
  uint64_t number = 0;
  std::string path;
  bool sound = false;               // a reference whose table is sound
  std::optional<std::string> name;  // the name its table lists
  std::vector<Node> kids;
};

struct Model {
  std::vector<Node> root;
  uint64_t count = 0;
};

void Fill(const KeyNames& names, const Table& t, const std::string& at, Model& m,
          std::vector<Node>* out) {
  for (std::size_t i = 0; i < t.entries.size(); ++i) {
    const Entry& e = t.entries[i];
    int same = 0, before = 0;
    for (std::size_t j = 0; j < t.entries.size(); ++j) {
      same += t.entries[j].id == e.id;
      before += j < i && t.entries[j].id == e.id;
    }
    Node n{e.id, e.type, e.value, ++m.count, at + "/", false, std::nullopt, {}};
    const std::string_view shown = names.PathNameOf(e.id);
    n.path += shown.empty() ? std::to_string(e.id) : std::string(shown);
    if (same > 1) n.path += "[" + std::to_string(before) + "]";
    if (e.type == 100) {
      MemorySource source(reinterpret_cast<const uint8_t*>(e.value.data()), e.value.size());
      TableShape shape;
      n.sound = CheckTable(source, 0, static_cast<int64_t>(e.value.size()), &shape).ok();
    }
    out->push_back(n);
    if (!out->back().sound) continue;
    const Table nested = DecodeTable(e.value, 0, static_cast<int64_t>(e.value.size()));
    for (const Entry& k : nested.entries) {
      if (k.id != REF_NAME_KEY) continue;
      out->back().name = std::string(k.value.c_str(), strnlen(k.value.c_str(), REF_NAME_LIMIT));
      break;
    }
    Fill(names, nested, out->back().path, m, &out->back().kids);
  }
}

// Random tables with some nested tables damaged (a count their extent cannot hold).
void Damage(Random& r, Table* t) {
  for (Entry& e : t->entries) {
    if (e.type != 100) continue;
    if (r.OneIn(6)) {
      e.value = EncodeTable({{FloatEntry(1, 1)}, "", 1000});
      continue;
    }
    Table nested = DecodeTable(e.value, 0, static_cast<int64_t>(e.value.size()));
    Damage(r, &nested);
    e.value = EncodeTable(nested);
  }
}

struct ModelFilter {
  std::string subject, op;
  uint32_t type = 0;
  float number = 0;
  std::string bytes;  // a text operand, a name, or a pattern
  bool wide = false;
};

struct ModelStep {
  std::string kind;  // "key", "number", "word", "*", "**"
  uint32_t value = 0;
  std::string word;
  std::optional<uint32_t> pick;
  std::vector<ModelFilter> filters;
};

struct ModelSelector {
  uint32_t counted = 0;
  std::vector<ModelStep> steps;
};

std::optional<std::string> TextOf(const Node& n) {
  if (n.type == 3) {
    const std::size_t zero = n.value.find('\0');
    if (zero == std::string::npos) return std::nullopt;
    return n.value.substr(0, zero);
  }
  std::vector<uint16_t> units;
  for (std::size_t k = 0; k + 1 < n.value.size(); k += 2) {
    const uint16_t u = static_cast<uint8_t>(n.value[k]) | static_cast<uint8_t>(n.value[k + 1]) << 8;
    if (u == 0) {
      std::string utf8;
      for (std::size_t i = 0; i < units.size();) {
        AppendUtf8(NextUtf16(units.data(), units.size(), &i), &utf8);
      }
      return utf8;
    }
    units.push_back(u);
  }
  return std::nullopt;
}

bool Ordered(const std::string& op, int order) {
  return op == "="    ? order == 0
         : op == "!=" ? order != 0
         : op == "<"  ? order < 0
         : op == "<=" ? order <= 0
         : op == ">"  ? order > 0
                      : order >= 0;
}

bool Holds(const ModelFilter& f, const Node& n) {
  if (f.subject == "type") return (n.type == f.type) == (f.op == "=");
  if (f.subject == "name") {
    if (!n.name) return false;
    if (f.op == "~") return std::regex_search(*n.name, std::regex(f.bytes, std::regex::extended));
    return (*n.name == f.bytes) == (f.op == "=");
  }
  const bool number = (n.type == 0 && n.value.size() >= 4) || (n.type == 2 && !n.value.empty());
  if (f.op == "~" || !f.bytes.empty() || f.wide) {
    if ((n.type != 3 && n.type != 4) || n.value.empty()) return false;
    const std::optional<std::string> text = TextOf(n);
    if (!text) return false;
    if (f.op == "~") {
      return text->size() <= kLongestMatchedText &&
             std::regex_search(*text, std::regex(f.bytes, std::regex::extended));
    }
    if ((n.type == 4) != f.wide) return false;
    return Ordered(f.op, text->compare(f.bytes));
  }
  if (!number) return false;
  const float v =
      n.type == 0 ? std::bit_cast<float>(static_cast<uint32_t>(
                        static_cast<uint8_t>(n.value[0]) | static_cast<uint8_t>(n.value[1]) << 8 |
                        static_cast<uint8_t>(n.value[2]) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(n.value[3])) << 24))
                  : static_cast<float>(static_cast<uint8_t>(n.value[0]));
  if (std::isnan(v)) return f.op == "!=";
  return Ordered(f.op, v < f.number ? -1 : v > f.number ? 1 : 0);
}

// The entries that steps[i...] select in a table, by number.
void Select(const KeyNames& names, const ModelSelector& sel, std::size_t i,
            const std::vector<Node>& t, std::set<uint64_t>* out) {
  const ModelStep& step = sel.steps[i];
  const bool last = i + 1 == sel.steps.size();
  auto filtersHold = [&](const Node& n) {
    return std::all_of(step.filters.begin(), step.filters.end(),
                       [&](const ModelFilter& f) { return Holds(f, n); });
  };
  if (step.kind == "**") {
    if (!last) Select(names, sel, i + 1, t, out);
    for (const Node& n : t) {
      if (last && filtersHold(n)) out->insert(n.number);
      if (n.sound) Select(names, sel, i, n.kids, out);
    }
    return;
  }
  const uint32_t key = step.kind == "word" ? names.KeyOfWord(step.word) : step.value;
  const bool byName = step.kind == "word" &&
                      std::none_of(t.begin(), t.end(), [&](const Node& n) { return n.key == key; });
  uint32_t named = 0;
  std::map<uint32_t, uint32_t> seen;
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Node& n = t[k];
    const uint32_t pick = seen[n.key]++;
    bool match = step.kind == "*";
    if (step.kind == "number") match = k == step.value && (!step.pick || *step.pick == 0);
    if ((step.kind == "key" || step.kind == "word") && !byName) {
      match = n.key == key && (!step.pick || *step.pick == pick);
    }
    if (byName && n.sound && n.name == step.word) match = !step.pick || *step.pick == named++;
    if (!match || !filtersHold(n)) continue;
    if (last) {
      out->insert(n.number);
    } else if (n.sound) {
      Select(names, sel, i + 1, n.kids, out);
    }
  }
}

const Node* FindNumber(const std::vector<Node>& t, uint64_t number) {
  for (const Node& n : t) {
    if (n.number == number) return &n;
    if (const Node* found = FindNumber(n.kids, number)) return found;
  }
  return nullptr;
}

std::set<uint64_t> Expected(const KeyNames& names, const ModelSelector& sel, const Model& m) {
  std::set<uint64_t> out;
  if (sel.counted == 0) {
    Select(names, sel, 0, m.root, &out);
  } else if (const Node* start = FindNumber(m.root, sel.counted)) {
    if (sel.steps.empty()) out.insert(start->number);
    if (!sel.steps.empty() && start->sound) Select(names, sel, 0, start->kids, &out);
  }
  return out;
}

void AllPaths(const std::vector<Node>& t, std::map<uint64_t, std::string>* paths) {
  for (const Node& n : t) {
    (*paths)[n.number] = n.path;
    AllPaths(n.kids, paths);
  }
}

// A random selector over the model's keys and names, and its text.
std::string RandomSelector(Random& r, const Model& m, ModelSelector* sel) {
  std::string text;
  if (r.OneIn(6)) {
    sel->counted = 1 + static_cast<uint32_t>(r.Below(static_cast<int>(m.count) + 2));
    text = "@" + std::to_string(sel->counted);
    if (r.OneIn(3)) return text;
  }
  std::vector<std::string> words = {"zz"};
  std::vector<uint32_t> keys = {12};
  std::function<void(const std::vector<Node>&)> gather = [&](const std::vector<Node>& t) {
    for (const Node& n : t) {
      keys.push_back(n.key);
      if (n.name && !n.name->empty()) words.push_back(*n.name);
      gather(n.kids);
    }
  };
  gather(m.root);
  for (int k = 1 + r.Below(3); k > 0; --k) {
    ModelStep step;
    std::string element;
    switch (r.Below(8)) {
      case 0:
        step.kind = "*", element = "*";
        break;
      case 1:
      case 2:
        step.kind = "**", element = "**";
        break;
      case 3:
        step.kind = "number", step.value = static_cast<uint32_t>(r.Below(4));
        element = "#" + std::to_string(step.value);
        break;
      case 4:
        step.kind = "word",
        step.word = words[static_cast<std::size_t>(r.Below(static_cast<int>(words.size())))];
        element = r.OneIn(2) ? step.word : "\"" + step.word + "\"";
        break;
      default:
        step.kind = "key";
        step.value = keys[static_cast<std::size_t>(r.Below(static_cast<int>(keys.size())))];
        element = std::to_string(step.value);
    }
    if (step.kind != "*" && step.kind != "**" && r.OneIn(3)) {
      step.pick = static_cast<uint32_t>(r.Below(3));
      element += "[" + std::to_string(*step.pick) + "]";
    }
    const bool filtered = step.kind != "**" || k == 1;
    for (int f = filtered ? r.Below(3) : 0; f > 0; --f) {
      static const char* const kOps[] = {"=", "!=", "<", "<=", ">", ">="};
      ModelFilter filter;
      filter.op = kOps[r.Below(6)];
      switch (r.Below(6)) {
        case 0: {
          static const uint32_t kTypes[] = {0, 2, 3, 4, 100, 7};
          static const char* const kWords[] = {"float", "bool", "text", "localized", "table", "7"};
          const int t = r.Below(6);
          filter.subject = "type", filter.type = kTypes[t], filter.op = r.OneIn(3) ? "!=" : "=";
          element += "[?type" + filter.op + kWords[t] + "]";
          break;
        }
        case 1:
        case 2:
          filter.subject = "value", filter.number = static_cast<float>(r.Below(30)) / 4;
          element += "[?value " + filter.op + " " +
                     FormatFloatBits(std::bit_cast<uint32_t>(filter.number)) + "]";
          break;
        case 3:
          filter.subject = "value", filter.bytes = r.Word(3), filter.wide = r.OneIn(4);
          if (filter.bytes.empty()) filter.bytes = "m";
          element += "[?value" + filter.op + (filter.wide ? "u\"" : "\"") + filter.bytes + "\"]";
          break;
        case 4:
          filter.subject = "value", filter.op = "~",
          filter.bytes = r.OneIn(2) ? "^[a-m]" : "i.e|d$";
          element += "[?value~\"" + filter.bytes + "\"]";
          break;
        default:
          filter.subject = "name", filter.op = r.OneIn(3) ? "~" : "=";
          filter.bytes =
              filter.op == "~"
                  ? "e"
                  : words[static_cast<std::size_t>(r.Below(static_cast<int>(words.size())))];
          element += "[?name" + filter.op + "\"" + filter.bytes + "\"]";
      }
      step.filters.push_back(filter);
    }
    sel->steps.push_back(step);
    text += "/" + element;
  }
  return text;
}

struct Selected {
  std::vector<uint64_t> numbers;
  std::vector<std::string> paths;
};

Selected Selections(const Bytes& file, const std::string& text, bool below = false) {
  Selector selector;
  const KeyNames names;
  Status s = ParseSelector(text, names, &selector);
  EXPECT_TRUE(s.ok()) << text << ": " << s.Message();
  selector.below = below;
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  Selected out;
  PathResolver resolver(source, static_cast<int64_t>(file.size()), names);
  s = SelectEntries(source, static_cast<int64_t>(file.size()), selector, names,
                    [&](const SelectedEntry& e) {
                      out.numbers.push_back(e.number);
                      out.paths.push_back(e.path);
                      // Each path names that entry again, as a patch would name it.
                      std::vector<PathElement> elements;
                      std::vector<PathStep> chain;
                      EXPECT_TRUE(ParsePath(e.path, &elements).ok()) << e.path;
                      EXPECT_TRUE(resolver.Resolve(elements, &chain).ok()) << e.path;
                      const PathStep& last = chain.back();
                      EXPECT_EQ(last.list->ExtentStart(last.entry), e.start) << e.path;
                      EXPECT_EQ(last.list->ExtentEnd(last.entry), e.end) << e.path;
                      EXPECT_EQ(last.list->Type[last.entry], e.type) << e.path;
                      return Status::Ok();
                    });
  EXPECT_TRUE(s.ok()) << text << ": " << s.Message();
  return out;
}

std::string Dumped(const Bytes& file) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  Sink sink(nullptr);
  EXPECT_TRUE(DumpText(source, static_cast<int64_t>(file.size()), KeyNames(), sink).ok());
  return sink.buf();
}

TEST(Select, RandomSelectorsMatchTheModelAndTheirPathsNameTheEntries) {
  const KeyNames names;
  Random r(2024);
  int nonEmpty = 0;
  const int fileCount = testing::kSanitized ? 60 : 240;
  for (int f = 0; f < fileCount; ++f) {
    Table root = RandomTable(r);
    Damage(r, &root);
    const Bytes file = EncodeFile(root);
    Model m;
    Fill(names, root, "", m, &m.root);
    std::map<uint64_t, std::string> paths;
    AllPaths(m.root, &paths);
    // The model's paths are dump's.
    std::string lines;
    for (const auto& [number, path] : paths) lines += path + "\n";
    std::string dumped;
    const std::string whole = Dumped(file);
    for (std::size_t at = 0, end; (end = whole.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = whole.substr(at, end - at);
      dumped += line.substr(0, line.find(" = ")) + "\n";
    }
    ASSERT_EQ(lines, dumped);
    for (int k = 0; k < 30; ++k) {
      ModelSelector sel;
      const std::string text = RandomSelector(r, m, &sel);
      const std::set<uint64_t> want = Expected(names, sel, m);
      const Selected got = Selections(file, text);
      ASSERT_EQ(std::vector<uint64_t>(want.begin(), want.end()), got.numbers) << text;
      for (std::size_t i = 0; i < got.numbers.size(); ++i) {
        EXPECT_EQ(got.paths[i], paths[got.numbers[i]]) << text;
      }
      nonEmpty += !want.empty();
      // Taken with everything below: each match and its sound tables' entries, once each.
      std::set<uint64_t> below = want;
      std::function<void(const std::vector<Node>&, bool)> add = [&](const std::vector<Node>& t,
                                                                    bool inside) {
        for (const Node& n : t) {
          if (inside) below.insert(n.number);
          add(n.kids, inside || want.count(n.number) != 0);
        }
      };
      add(m.root, false);
      EXPECT_EQ(std::vector<uint64_t>(below.begin(), below.end()),
                Selections(file, text, true).numbers)
          << text;
    }
  }
  // Enough of the selectors find something: a twelfth, for either count of files.
  EXPECT_GT(nonEmpty, fileCount * 30 / 12);
}

// ---------------------------------------------------------------------------------------------

std::string ParseError(const std::string& text) {
  Selector selector;
  Status s = ParseSelector(text, KeyNames(), &selector);
  return s.ok() ? "ok" : s.Message();
}

TEST(Select, SelectorsThatDoNotParseNameTheByteAndTheToken) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"",
       "at byte 0: found the end, expected an element: a key, * or ** (/** selects every entry)"},
      {"/a/", "at byte 3: found the end, expected an element: a key, *, ** or a filter [?...]"},
      {"a//b", "at byte 2: found '/', expected a key: a label, a word, a number below 2^32 or #N"},
      {"/4294967296",
       "at byte 1: found '4294967296', expected a key: a label, a word, a number "
       "below 2^32 or #N"},
      {"@0/a",
       "at byte 1: found '0', expected the number of an entry after @, from 1 to "
       "4294967295"},
      {"@3x", "at byte 2: found 'x', expected '/' after @N"},
      {"/a[x]", "at byte 3: found 'x', expected the number k of a pick [k]"},
      {"/*[1]", "at byte 2: found '[1]', expected a filter [?...] (a pick [k] follows a key)"},
      {"/a[?kind=float]", "at byte 4: found 'kind', expected type, value or name"},
      {"/a[?type==float]",
       "at byte 9: found '=', expected float, bool, text, localized, table "
       "or a type number"},
      {"/a[?type<float]", "at byte 8: found '<', expected = or != after type"},
      {"/a[?value>ten]",
       "at byte 10: found 'ten', expected a number, a quoted text or a localized "
       "text u\"...\""},
      {"/a[?value=\"x]",
       "at byte 10: found '\"x]', expected a quoted text (a text without its "
       "closing quote)"},
      {"/a[?value=1 x]", "at byte 12: found 'x', expected ']' closing the filter"},
      {"/a[?name=x]", "at byte 9: found 'x', expected a quoted name"},
      {"/[?value~\"(\"]",
       "at byte 9: found '\"(\"', expected a regular expression (Unmatched ( or "
       "\\()"},
      // The pattern is a quoted text: its backslashes are written twice.
      {"/[?value~\"(a)\\\\1\"]",
       "at byte 9: found '\"(a)\\\\1\"', expected a regular expression "
       "of no back-reference"},
      {"/[?value~\"\\.\"]",
       "at byte 9: found '\"\\.\"', expected a quoted regular expression "
       "(unknown escape \\.)"},
      {"/",
       "at byte 1: found the end, expected an element: a key, * or ** (/** selects every "
       "entry)"},
      {"/[?value~\"a{1000}\"]",
       "at byte 9: found '\"a{1000}\"', expected a regular expression of "
       "counts of {m,n} up to 255"},
      {"/[?value~\"a+++++++++\"]",
       "at byte 9: found '\"a+++++++++\"', expected a regular expression of at most 8 +"},
      {"/**[?type=float]/a",
       "at byte 3: found '[?', expected '/' (a filter on ** holds only when "
       "it is last: put it on the element after)"},
      {"/\"\"", "at byte 1: found '\"\"', expected a key inside the quotes"},
      {"/a\"b\"c/[", "at byte 7: found '[', expected a key, * or ** in front of [k]"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(ParseError(text), message) << text;
  EXPECT_EQ(ParseError(std::string(40, 'x') + "[?"),
            "at byte 42: found the end, expected type, value or name");
  EXPECT_EQ(ParseError("/a[?value=" + std::string(40, 'y') + "]"),
            "at byte 10: found '" + std::string(24, 'y') +
                "...', expected a number, a quoted text or a localized text u\"...\"");
  std::string deep;
  for (std::size_t k = 0; k <= kMostDeepSteps; ++k) deep += "/**";
  EXPECT_EQ(ParseError(deep), "at byte 49: found '**', expected at most 16 ** in a selector");
  // Every form the paths take, and blanks inside filters.
  for (const char* ok : {"reload_time", "/0x10/#3/name[2]", "@5", "@5/x/*", "/a b/c.d-e",
                         "/**/[? value >= -inf ][?type != table]", "/*[?value=u\"\\u00e9\"]",
                         "/\"*\"/\"a/b\"/\"x[1]\""}) {
    EXPECT_EQ(ParseError(ok), "ok") << ok;
  }
}

// Keys whose words hold what selectors read specially are written quoted, or, for blanks and
// other bytes, as they stand.
TEST(Select, KeysThatLookLikeSelectorsAreQuoted) {
  const std::vector<std::string> words = {"*",      "**",      "a/b",        "x[1]",
                                          "sp ace", "quo\"te", "dash-dot.x", "12"};
  Table root;
  for (const std::string& w : words) root.entries.push_back(FloatEntry(HashKeyName(w), 1));
  root.entries.push_back(FloatEntry(12, 2));
  const Bytes file = EncodeFile(root);
  const std::vector<std::pair<std::string, uint32_t>> cases = {
      {"\"*\"", HashKeyName("*")},
      {"\"**\"", HashKeyName("**")},
      {"\"a/b\"", HashKeyName("a/b")},
      {"\"x[1]\"", HashKeyName("x[1]")},
      {"sp ace", HashKeyName("sp ace")},
      {"\"quo\\\"te\"", HashKeyName("quo\"te")},
      {"dash-dot.x", HashKeyName("dash-dot.x")},
      {"\"12\"", HashKeyName("12")},
      {"12", 12},
  };
  for (const auto& [text, key] : cases) {
    const Selected got = Selections(file, "/" + text);
    ASSERT_EQ(got.paths.size(), 1u) << text;
    EXPECT_EQ(got.paths[0], "/" + std::to_string(key)) << text;
  }
  EXPECT_EQ(Selections(file, "/*").paths.size(), words.size() + 1);
}

// As in a path, a word that is no key of a table names the references there that list it.
TEST(Select, WordsNameReferencesByTheirNamesOnlyWhereNoKeyIsTheWord) {
  const uint32_t gun = HashKeyName("gun");
  const Table named{{RefEntry(1, {{NameEntry("gun"), FloatEntry(2, 1)}}),
                     RefEntry(2, {{NameEntry("gun"), FloatEntry(2, 2)}}),
                     RefEntry(3, {{NameEntry("other"), FloatEntry(2, 3)}})}};
  Table keyed = named;
  keyed.entries.push_back(FloatEntry(gun, 4));
  const Bytes file = EncodeFile({{RefEntry(5, named), RefEntry(6, keyed)}});
  EXPECT_EQ(Selections(file, "/5/gun/2").paths, (std::vector<std::string>{"/5/1/2", "/5/2/2"}));
  EXPECT_EQ(Selections(file, "/5/gun[1]/2").paths, (std::vector<std::string>{"/5/2/2"}));
  EXPECT_EQ(Selections(file, "/*/gun").paths,
            (std::vector<std::string>{"/5/1", "/5/2", "/6/" + std::to_string(gun)}));
  EXPECT_EQ(Selections(file, "/**/[?name~\"^g\"][?type=table]/2").paths,
            (std::vector<std::string>{"/5/1/2", "/5/2/2", "/6/1/2", "/6/2/2"}));
}

// Past 128 bytes a path is printed from the reference that holds its table, as dump prints it.
TEST(Select, DeepPathsAreTheOnesDumpPrints) {
  std::vector<Level> levels(200);
  for (std::size_t d = 0; d < levels.size(); ++d) {
    levels[d] = {{{FloatEntry(3, static_cast<float>(d)), FloatEntry(3, 0.5f)}},
                 static_cast<uint32_t>(1000000 + d % 3)};
  }
  const Bytes file = EncodeChainFile(levels, {{TextEntry(9, "bottom")}});
  std::string want;
  const std::string dumped = Dumped(file);
  for (std::size_t at = 0, end; (end = dumped.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = dumped.substr(at, end - at);
    if (line.size() > 6 && line.compare(line.size() - 6, 6, " = 0.5") == 0) {
      want += line.substr(0, line.size() - 6) + "\n";
    }
  }
  std::string got;
  for (const std::string& p : Selections(file, "/**/[?value=0.5]").paths) got += p + "\n";
  EXPECT_EQ(got, want);
  EXPECT_NE(got.find("\n@"), std::string::npos);
  EXPECT_EQ(Selections(file, "/**/[?value>198]").paths.size(), 1u);
  // A deep start, and the picks of repeated keys.
  const Selected bottom = Selections(file, "/**/9");
  ASSERT_EQ(bottom.paths.size(), 1u);
  EXPECT_EQ(Selections(file, "@" + std::to_string(bottom.numbers[0])).paths, bottom.paths);
  EXPECT_EQ(Selections(file, "/3").paths, (std::vector<std::string>{"/3[0]", "/3[1]"}));
  EXPECT_EQ(Selections(file, "/3[1]").paths, (std::vector<std::string>{"/3[1]"}));
}

TEST(Select, LongTextsAreComparedWholeAndMatchedOnlyUpToTheBound) {
  const std::string longest(kLongestMatchedText, 'b');
  const Bytes file = EncodeFile({{TextEntry(1, longest),
                                  TextEntry(2, longest + "b"),
                                  TextEntry(3, std::string(100000, 'b') + "c"),
                                  {4, 3, "unterminated"},
                                  WideEntry(5, u"\u00e9t\u00e9"),
                                  FloatEntry(6, std::nanf("")),
                                  BoolEntry(7, 200)}});
  auto paths = [&](const std::string& s) {
    std::string out;
    for (const std::string& p : Selections(file, s).paths) out += p;
    return out;
  };
  EXPECT_EQ(paths("/*[?value~\"b$\"]"), "/1");
  EXPECT_EQ(paths("/*[?value>\"" + longest + "\"]"), "/2/3");
  EXPECT_EQ(paths("/*[?value<\"c\"]"), "/1/2/3");
  EXPECT_EQ(paths("/*[?value!=\"x\"]"), "/1/2/3");  // no value at all is no text
  EXPECT_EQ(paths("/*[?value=u\"\u00e9t\u00e9\"]"), "/5");
  EXPECT_EQ(paths("/*[?value~\"^\u00e9t.\"]"), "/5");
  EXPECT_EQ(paths("/*[?value!=1]"), "/6/7");
  EXPECT_EQ(paths("/*[?value=nan]"), "/6");
  EXPECT_EQ(paths("/*[?value>=200]"), "/7");
}

// ---------------------------------------------------------------------------------------------
// find and dump with a selector.

using testing::Capture;
using Outcome = testing::Ran;

Outcome Find(const std::string& selector, const std::vector<std::string>& paths,
             FindOutput mode = FindOutput::kLines, std::FILE* in = stdin) {
  return Capture([&](std::FILE* o, std::FILE* e) {
    return FindCommand(selector, paths, mode, KeyNames(), in, o, e);
  });
}

TEST(Find, PrintsMatchesInFileOrderAndExitsAsGrepDoes) {
  testing::TempDir dir;
  ASSERT_EQ(testing::Shell("mkdir -p " + dir / "m/sub").status, 0);
  const Table unit{{RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, 40), NameEntry("arc")}}),
                    FloatEntry(0x09CEA8A9, 2.5f)}};
  WriteFile(dir / "m/b.atb", EncodeFile(unit));
  WriteFile(dir / "m/sub/a.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 3)}}));
  Bytes damaged = EncodeFile(unit);
  damaged[52 + 4 + 8] = 0x7F;  // the root's first Off
  WriteFile(dir / "m/c.atb", damaged);
  // A damaged table that the selector would have searched, and another it would not.
  WriteFile(dir / "m/d.atb",
            EncodeFile({{RefEntry(1, {{FloatEntry(1, 1)}, "", 1000}), FloatEntry(0x09CEA8A9, 4)}}));
  WriteFile(dir / "m/e.txt", "not searched");
  const std::string m = dir / "m";

  Outcome all = Find("/**/reload_time", {m});
  EXPECT_EQ(all.status, 2);
  EXPECT_EQ(all.out, m + "/b.atb:/reload_time = 2.5\n" + m + "/d.atb:/reload_time = 4\n" + m +
                         "/sub/a.atb:/reload_time = 3\n");
  EXPECT_EQ(all.err, "atbutil: " + m +
                         "/c.atb: the table / is damaged: entry 0's value outside the data "
                         "area (Off 127, data area of 40 bytes)\natbutil: " +
                         m +
                         "/d.atb: /1: a damaged table, not searched: count 1000 too large for "
                         "the extent of 20 bytes\n");
  // The same output every time, for a folder searched on every core.
  for (int k = 0; k < 5; ++k)
    WriteFile(dir / ("m/sub/n" + std::to_string(k) + ".atb"), EncodeFile(unit));
  const Outcome again = Find("/**/reload_time", {m});
  for (int run = 0; run < 3; ++run) EXPECT_EQ(Find("/**/reload_time", {m}).out, again.out);

  const std::string b = m + "/b.atb", a = m + "/sub/a.atb";
  EXPECT_EQ(Find("/reload_time", {b, a}).status, 0);
  EXPECT_EQ(Find("/nothing", {b, a}).status, 1);
  EXPECT_EQ(Find("/nothing", {b, m + "/missing.atb"}).status, 2);
  EXPECT_EQ(Find("/reload_time", {m + "/d.atb"}).status,
            0);  // the damaged table is not looked into
  EXPECT_EQ(
      Find("/x[", {b}).err,
      "atbutil: the selector: at byte 3: found the end, expected the number k of a pick [k]\n");
  EXPECT_EQ(Find("/x[", {b}).status, 2);
  EXPECT_EQ(Find("arc/*", {a, b}, FindOutput::kFiles).out, b + "\n");
  EXPECT_EQ(Find("/**[?type=float]", {a, b}, FindOutput::kCounts).out, a + ":1\n" + b + ":2\n");
  std::FILE* in = std::fopen(b.c_str(), "rb");
  const Outcome piped = Find("8192/*", {"-"}, FindOutput::kLines, in);
  std::fclose(in);
  EXPECT_EQ(
      piped.out,
      "(standard input):/8192/max_damage = 40\n(standard input):/8192/1238765486 = \"arc\"\n");
}

TEST(Find, DumpPrintsWhatASelectorMatchesAsDumpPrintsIt) {
  testing::TempDir dir;
  Random r(7);
  for (int f = 0; f < 20; ++f) {
    Table root = RandomTable(r);
    Damage(r, &root);
    const Bytes file = EncodeFile(root);
    const std::string path = dir / "f.atb";
    WriteFile(path, file);
    const std::string dumped = Dumped(file);
    auto dump = [&](const std::string& selector) {
      return Capture([&](std::FILE* o, std::FILE* e) {
        return DumpSelectedCommand(path, selector, KeyNames(), o, e);
      });
    };
    EXPECT_EQ(dump("/**").out, dumped);
    // Each table alone is its lines of the whole dump.
    for (const std::string& table : Selections(file, "/**/[?type=table]").paths) {
      std::string want;
      for (std::size_t at = 0, end; (end = dumped.find('\n', at)) != std::string::npos;
           at = end + 1) {
        const std::string line = dumped.substr(at, end - at + 1);
        if (line.rfind(table + " = ", 0) == 0 || line.rfind(table + "/", 0) == 0) want += line;
      }
      EXPECT_EQ(dump(table).out, want) << table;
    }
  }
  WriteFile(dir / "f.atb", EncodeFile({{FloatEntry(1, 1)}}));
  const Outcome none = Capture([&](std::FILE* o, std::FILE* e) {
    return DumpSelectedCommand(dir / "f.atb", "/2", KeyNames(), o, e);
  });
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "atbutil: " + (dir / "f.atb") + ": nothing matches /2\n");
}

}  // namespace
}  // namespace atb
