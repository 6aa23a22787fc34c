// A model of attribute files for the tests of engines that combine edits (merge, mods, rebase):
// a tree of tables with unique, ascending keys, edits made against it by entry numbers, and the
// tree encoded back into a file.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "tests/atb_builder.h"
#include "tests/random_files.h"

namespace atb::build {

// A tree of tables whose entries can be edited and encoded again.
struct Node {
  struct Item {
    uint32_t key, type;
    Bytes value;                   // when not a table
    std::unique_ptr<Node> nested;  // a table
  };
  Bytes lead;
  std::vector<Item> items;

  std::unique_ptr<Node> Copy() const {
    auto n = std::make_unique<Node>();
    n->lead = lead;
    for (const Item& i : items) {
      n->items.push_back({i.key, i.type, i.value, i.nested ? i.nested->Copy() : nullptr});
    }
    return n;
  }
  Table Encodable() const {
    Table t;
    t.lead = lead;
    for (const Item& i : items) {
      t.entries.push_back({i.key, i.type, i.nested ? EncodeTable(i.nested->Encodable()) : i.value});
    }
    return t;
  }
};

// A random table with its keys ascending at every level, so that a new entry has one place, and
// each key once: of two entries with one key, which one a side changed cannot always be told
// (lists are tested on their own).
std::unique_ptr<Node> FromTable(const Table& t);

Node* TableAt(Node* root, const std::vector<uint32_t>& trail);

// One side's edits, by entry numbers of BASE.
struct Edit {
  enum Kind { kSet, kRemove, kAdd, kLead } kind;
  std::vector<uint32_t> trail;  // the entry (set, remove) or the table (add, lead)
  uint32_t key = 0, type = 0;
  Bytes value;
};

bool IsPrefix(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

// Whether `e` overlaps an edit of `others`: one replaces or removes what the other lies in.
bool Overlaps(const Edit& e, const std::vector<Edit>& others);

// Applies edits made against BASE: values first, then each table's removals and adds (in key
// order, an add behind the entries with its key).
void ApplyEdits(Node* root, const std::vector<Edit>& edits);

// The entry numbers from the root of every entry and every table, depth first.
void Trails(const Node& n, std::vector<uint32_t> trail, std::vector<std::vector<uint32_t>>* entries,
            std::vector<std::vector<uint32_t>>* tables);

// A random value of any type, a table's keys ascending.
std::pair<uint32_t, Bytes> RandomValue(Random& r);

}  // namespace atb::build
