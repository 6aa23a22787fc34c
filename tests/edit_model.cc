#include "tests/edit_model.h"

#include <algorithm>

namespace atb::build {

std::unique_ptr<Node> FromTable(const Table& t) {
  auto n = std::make_unique<Node>();
  n->lead = t.lead;
  for (const Entry& e : t.entries) {
    if (std::any_of(n->items.begin(), n->items.end(),
                    [&](const Node::Item& i) { return i.key == e.id; })) {
      continue;
    }
    Node::Item item{e.id, e.type, e.value, nullptr};
    if (e.type == 100)
      item.nested = FromTable(DecodeTable(e.value, 0, static_cast<int64_t>(e.value.size())));
    n->items.push_back(std::move(item));
  }
  std::stable_sort(n->items.begin(), n->items.end(),
                   [](const Node::Item& a, const Node::Item& b) { return a.key < b.key; });
  return n;
}

Node* TableAt(Node* root, const std::vector<uint32_t>& trail) {
  for (uint32_t i : trail) root = root->items[i].nested.get();
  return root;
}

bool IsPrefix(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool Overlaps(const Edit& e, const std::vector<Edit>& others) {
  const bool whole = e.kind == Edit::kSet || e.kind == Edit::kRemove;
  for (const Edit& o : others) {
    const bool otherWhole = o.kind == Edit::kSet || o.kind == Edit::kRemove;
    if (otherWhole && IsPrefix(o.trail, e.trail)) return true;
    if (whole && IsPrefix(e.trail, o.trail)) return true;
    if (e.kind == Edit::kLead && o.kind == Edit::kLead && e.trail == o.trail) return true;
  }
  return false;
}

void ApplyEdits(Node* root, const std::vector<Edit>& edits) {
  std::vector<std::pair<Node*, uint32_t>> removals;
  std::vector<std::pair<Node*, const Edit*>> adds;
  for (const Edit& e : edits) {
    if (e.kind == Edit::kAdd || e.kind == Edit::kLead) {
      Node* t = TableAt(root, e.trail);
      if (e.kind == Edit::kLead) t->lead = e.value;
      if (e.kind == Edit::kAdd) adds.push_back({t, &e});
      continue;
    }
    std::vector<uint32_t> parent(e.trail.begin(), e.trail.end() - 1);
    Node* t = TableAt(root, parent);
    if (e.kind == Edit::kRemove) {
      removals.push_back({t, e.trail.back()});
    } else {
      Node::Item& item = t->items[e.trail.back()];
      item.type = e.type;
      item.value = e.value;
      item.nested = e.type == 100
                        ? FromTable(DecodeTable(e.value, 0, static_cast<int64_t>(e.value.size())))
                        : nullptr;
    }
  }
  std::sort(removals.begin(), removals.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [t, i] : removals) t->items.erase(t->items.begin() + i);
  for (const auto& [t, e] : adds) {
    std::size_t k = 0;
    while (k < t->items.size() && t->items[k].key <= e->key) ++k;
    Node::Item item{e->key, e->type, e->value, nullptr};
    if (e->type == 100)
      item.nested = FromTable(DecodeTable(e->value, 0, static_cast<int64_t>(e->value.size())));
    t->items.insert(t->items.begin() + static_cast<std::ptrdiff_t>(k), std::move(item));
  }
}

void Trails(const Node& n, std::vector<uint32_t> trail, std::vector<std::vector<uint32_t>>* entries,
            std::vector<std::vector<uint32_t>>* tables) {
  tables->push_back(trail);
  for (uint32_t i = 0; i < n.items.size(); ++i) {
    trail.push_back(i);
    entries->push_back(trail);
    if (n.items[i].nested) Trails(*n.items[i].nested, trail, entries, tables);
    trail.pop_back();
  }
}

std::pair<uint32_t, Bytes> RandomValue(Random& r) {
  switch (r.Below(5)) {
    case 0:
      return {0, F32(static_cast<float>(r.Below(1000)) / 8)};
    case 1:
      return {2, Bytes(1, static_cast<char>(r.Below(3)))};
    case 2:
      return {3, Str(r.Word(8)) + (r.OneIn(3) ? r.Word(2) : "")};
    case 3:
      return {7, r.Bytes(5)};
    default: {
      Table t = RandomTable(r, 2);
      std::stable_sort(t.entries.begin(), t.entries.end(),
                       [](const Entry& a, const Entry& b) { return a.id < b.id; });
      return {100, EncodeTable(t)};
    }
  }
}

}  // namespace atb::build
