#include "tests/random_changes.h"

#include "store/table.h"

namespace atb::build {

namespace {

EntryList ListAt(const Bytes& file, const TableChain& chain) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  EntryList list;
  ReadTable(source, chain.back().table, chain.back().end, &list);
  return list;
}

// The chain to entry `trail` (entry numbers from the root); with `intoTable`, on into the table
// of the reference it names.
TableChain ChainTo(const Bytes& file, const std::vector<uint32_t>& trail, bool intoTable) {
  TableChain chain{{ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size()), 0}};
  for (std::size_t k = 0; k < trail.size(); ++k) {
    const EntryList list = ListAt(file, chain);
    chain.back().entry = trail[k];
    if (k + 1 < trail.size() || intoTable) {
      chain.push_back({list.ExtentStart(trail[k]), list.ExtentEnd(trail[k]), 0});
    }
  }
  return chain;
}

// The trails of every text and every table of a file.
void Walk(const Bytes& file, const TableChain& chain, std::vector<uint32_t> trail,
          std::vector<std::vector<uint32_t>>* texts, std::vector<std::vector<uint32_t>>* tables) {
  tables->push_back(trail);
  const EntryList list = ListAt(file, chain);
  for (uint32_t i = 0; i < list.count; ++i) {
    trail.push_back(i);
    if (list.Is(i, EntryType::Text)) texts->push_back(trail);
    if (list.Is(i, EntryType::Reference)) {
      TableChain inner = chain;
      inner.back().entry = i;
      inner.push_back({list.ExtentStart(i), list.ExtentEnd(i), 0});
      Walk(file, inner, trail, texts, tables);
    }
    trail.pop_back();
  }
}

// Replaces the text at `trail` up to its zero by `with`.
void ReplaceText(const Bytes& f, const std::vector<uint32_t>& trail, Change* c,
                 const std::string& with) {
  TableChain chain = ChainTo(f, trail, false);
  const int64_t start = ListAt(f, chain).ExtentStart(chain.back().entry);
  const auto zero = static_cast<int64_t>(f.find('\0', static_cast<std::size_t>(start)));
  c->Replace(chain, start, zero - start, with);
}

template <typename T>
const T& Pick(Random& r, const std::vector<T>& v) {
  return v[static_cast<std::size_t>(r.Below(static_cast<int>(v.size())))];
}

}  // namespace

Bytes RandomChangeFile(Random& r, int payload) {
  Table root = RandomTable(r);
  root.entries.push_back({0xFFFFFFF0u, 7, r.Bytes(payload)});
  return EncodeFile(root);
}

std::vector<MakeChange> RandomChanges(Random& r, const Bytes& file) {
  std::vector<std::vector<uint32_t>> texts, tables;
  Walk(file, ChainTo(file, {}, false), {}, &texts, &tables);
  std::vector<MakeChange> changes;
  if (!texts.empty()) {
    const auto text = Pick(r, texts);
    const auto other = texts.back();
    const std::string longer = r.Word(40) + "grown";
    changes.push_back([=](const Bytes& f, Change* c) { ReplaceText(f, text, c, longer); });
    changes.push_back([=](const Bytes& f, Change* c) {
      ReplaceText(f, text, c, "");
      if (other != text) ReplaceText(f, other, c, longer);
    });
  }
  const auto table = Pick(r, tables);
  const Bytes side = EncodeTable(RandomTable(r, 1));
  const auto key = static_cast<uint32_t>(r.Below(20));
  changes.push_back([=](const Bytes& f, Change* c) {
    c->Insert(ChainTo(f, table, !table.empty()), key, 100, side);
    c->Insert(ChainTo(f, table, !table.empty()), key + 1, 0, F32(0.5f));
  });
  // One entry of the root and one of another table, unless one holds the other.
  const auto inner = Pick(r, tables);
  const uint32_t rootCount = ListAt(file, ChainTo(file, {}, false)).count;
  const uint32_t innerCount = ListAt(file, ChainTo(file, inner, !inner.empty())).count;
  const auto first = static_cast<uint32_t>(r.Below(static_cast<int>(rootCount)));
  std::vector<uint32_t> second = inner;
  second.push_back(innerCount == 0 ? 0
                                   : static_cast<uint32_t>(r.Below(static_cast<int>(innerCount))));
  const bool both = innerCount != 0 && second[0] != first;
  changes.push_back([=](const Bytes& f, Change* c) {
    c->Remove(ChainTo(f, {first}, false));
    if (both) c->Remove(ChainTo(f, second, false));
  });
  return changes;
}

Bytes StraddlingFloatFile() {
  // The text's extent runs from 80 to 510: the float lies at 510 to 514.
  return EncodeFile({{TextEntry(1, Bytes(429, 'p')), FloatEntry(2, 1.5f)}});
}

MakeChange StraddlingFloatChange() {
  return [](const Bytes& f, Change* c) { c->Replace(ChainTo(f, {1}, false), 510, 4, F32(-2.75f)); };
}

}  // namespace atb::build
