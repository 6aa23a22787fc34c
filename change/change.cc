#include "change/change.h"

#include <algorithm>
#include <map>
#include <numeric>

#include "change/journal.h"
#include "store/coding.h"
#include "store/growth.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

namespace {

// One table that a change reaches, as it is before the change.
struct Reached {
  int64_t end;
  EntryList list;
  // What entry i's stored Off gains, the growth of everything in front of its value: collected
  // as "from entry i on" steps, one slot more than entries, and summed once all are in.
  std::vector<int64_t> delta;
  // Entries added, by the index they go in front of, in the order they were asked for.
  std::vector<std::pair<uint32_t, TableEntry>> added;
  std::vector<std::size_t> addedValueSplice;  // the splice holding each added entry's value
};

// One splice and where it stands in the tree, to order splices that share a position: a
// position inside entry e comes after e's predecessors and before its successors; an entry added
// at index k goes in front of entry k.
struct PlacedSplice {
  Splice splice;
  std::vector<int64_t> order;
  const void* edit;  // the edit whose bytes go in; nullptr for an added entry's 12 bytes
};

}  // namespace

void Change::Replace(TableChain chain, int64_t pos, int64_t removed, std::string bytes) {
  Edit e;
  e.chain = std::move(chain);
  e.pos = pos;
  e.removed = removed;
  e.bytes = std::move(bytes);
  edits_.push_back(std::move(e));
}

void Change::Insert(TableChain chain, uint32_t key, uint32_t type, std::string value) {
  Edit e;
  e.chain = std::move(chain);
  e.insert = true;
  e.key = key;
  e.type = type;
  e.bytes = std::move(value);
  edits_.push_back(std::move(e));
}

void Change::Insert(TableChain chain, uint32_t key, uint32_t type, ByteSource& source, int64_t size,
                    bool table) {
  Edit e;
  e.chain = std::move(chain);
  e.insert = true;
  e.key = key;
  e.type = type;
  e.source = &source;
  e.size = size;
  e.table = table;
  edits_.push_back(std::move(e));
}

Status Change::Apply(ChangeTarget& target) const {
  if (edits_.empty()) return Status::Ok();
  AtbFile& file = target.file;
  int64_t length;
  Status s = file.Length(&length);
  if (!s.ok()) return s;

  // Read every table on every chain, and check that each chain holds together.
  std::map<int64_t, Reached> tables;
  for (const Edit& e : edits_) {
    if (e.chain.empty() || e.chain[0].table != ROOT_TABLE_OFFSET || e.chain[0].end != length) {
      return Status::Refused("a change must start at the root table");
    }
    for (std::size_t l = 0; l < e.chain.size(); ++l) {
      const TableLink& link = e.chain[l];
      auto [it, fresh] = tables.try_emplace(link.table);
      Reached& t = it->second;
      if (fresh) {
        t.end = link.end;
        s = ReadTable(file, link.table, link.end, &t.list);
        if (!s.ok()) return s;
        t.delta.assign(t.list.count + 1, 0);
      } else if (t.end != link.end) {
        return Status::Refused("two changes see one table with different ends");
      }
      const bool last = l + 1 == e.chain.size();
      if (last && e.insert) break;
      if (link.entry >= t.list.count) return Status::Refused("no such entry");
      if (!last) {
        const TableLink& next = e.chain[l + 1];
        if (!t.list.Is(link.entry, EntryType::Reference) ||
            next.table != t.list.ExtentStart(link.entry) ||
            next.end != t.list.ExtentEnd(link.entry)) {
          return Status::Refused("the chain does not follow the file's references");
        }
      } else if (e.pos < t.list.ExtentStart(link.entry) || e.removed < 0 ||
                 e.pos + e.removed > t.list.ExtentEnd(link.entry)) {
        return Status::Refused("a replacement outside its entry's extent");
      }
    }
  }

  // The splices, and what each edit adds to the offsets of the entries behind it.
  std::vector<PlacedSplice> placed;
  for (std::size_t n = 0; n < edits_.size(); ++n) {
    const Edit& e = edits_[n];
    std::vector<int64_t> order;
    for (const TableLink& link : e.chain) order.push_back(2 * static_cast<int64_t>(link.entry) + 1);
    int64_t growth;
    if (e.insert) {
      const TableLink& link = e.chain.back();
      Reached& t = tables[link.table];
      uint32_t k = 0;
      while (k < t.list.count && t.list.ID[k] <= e.key) ++k;
      order.back() = 2 * static_cast<int64_t>(k);
      const int64_t size = e.Size();
      t.added.push_back({k, {e.key, e.type, 0}});
      placed.push_back({{EntryPos(link.table, k), 0, ENTRY_SIZE}, order, nullptr});
      t.addedValueSplice.push_back(placed.size());  // the value's splice, next
      placed.push_back({{t.list.Off[k], 0, size}, order, &e});
      t.delta[k] += size;
      growth = size + ENTRY_SIZE;
    } else {
      placed.push_back({{e.pos, e.removed, static_cast<int64_t>(e.bytes.size())}, order, &e});
      growth = static_cast<int64_t>(e.bytes.size()) - e.removed;
    }
    // Every enclosing table's entries behind the chosen one move with the growth.
    const std::size_t enclosing = e.insert ? e.chain.size() - 1 : e.chain.size();
    for (std::size_t l = 0; l < enclosing; ++l)
      tables[e.chain[l].table].delta[e.chain[l].entry + 1] += growth;
  }
  for (auto& [table, t] : tables) {
    for (uint32_t i = 1; i < t.list.count; ++i) t.delta[i] += t.delta[i - 1];
  }
  std::vector<std::size_t> sorted(placed.size());
  std::iota(sorted.begin(), sorted.end(), 0);
  std::stable_sort(sorted.begin(), sorted.end(), [&](std::size_t a, std::size_t b) {
    if (placed[a].splice.pos != placed[b].splice.pos) {
      return placed[a].splice.pos < placed[b].splice.pos;
    }
    return placed[a].order < placed[b].order;
  });
  std::vector<Splice> splices;
  int64_t newLength = length;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const Splice& sp = placed[sorted[i]].splice;
    if (!splices.empty() && splices.back().pos + splices.back().removed > sp.pos) {
      return Status::Refused("two changes overlap");
    }
    splices.push_back(sp);
    newLength += sp.inserted - sp.removed;
  }
  if (newLength > MAX_FILE_LENGTH) return Status::TooLarge();

  // Where a byte of the file as it is ends up: behind every splice that ends at or before it.
  std::vector<int64_t> ends(splices.size()), grownBefore(splices.size() + 1, 0);
  for (std::size_t i = 0; i < splices.size(); ++i) {
    ends[i] = splices[i].pos + splices[i].removed;
    grownBefore[i + 1] = grownBefore[i] + splices[i].inserted - splices[i].removed;
  }
  auto newPos = [&](int64_t pos) {
    auto after = std::upper_bound(ends.begin(), ends.end(), pos) - ends.begin();
    return pos + grownBefore[static_cast<std::size_t>(after)];
  };
  std::vector<int64_t> newStart(placed.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    newStart[sorted[i]] = splices[i].pos + grownBefore[i];
  }

  ChangePlan plan;
  plan.oldLength = length;
  plan.newLength = newLength;
  plan.chunkBytes = chunkBytes_;
  plan.splices = splices;
  for (std::size_t i = 0; i < placed.size(); ++i) {
    const auto* e = static_cast<const Edit*>(placed[i].edit);
    if (e == nullptr || e->Size() == 0) continue;
    ChangePlan::Write w;
    w.pos = newStart[i];
    w.bytes = e->bytes;
    w.source = e->source;
    w.size = e->size;
    w.table = e->table;
    plan.writes.push_back(std::move(w));
  }
  // Each reached table's entries from the first that changes, written whole in their new place.
  for (auto& [table, t] : tables) {
    const EntryList& list = t.list;
    const int64_t data = DataStart(table, list.count);
    // Nothing is spliced into a table's count or in front of it within the table, so the
    // count's new place fixes the entry block's and the data area's.
    const int64_t newTable = newPos(table);
    const int64_t newData = DataStart(newTable, list.count + static_cast<int64_t>(t.added.size()));
    uint32_t first = list.count;
    for (uint32_t i = 0; i < list.count; ++i) {
      if (t.delta[i] != 0) {
        first = i;
        break;
      }
    }
    std::vector<std::pair<uint32_t, TableEntry>> added = t.added;
    for (std::size_t a = 0; a < added.size(); ++a) {
      first = std::min(first, added[a].first);
      added[a].second.Off = static_cast<uint32_t>(newStart[t.addedValueSplice[a]] - newData);
    }
    std::stable_sort(added.begin(), added.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string block;
    auto put = [&](const TableEntry& entry) {
      uint8_t bytes[ENTRY_SIZE];
      EncodeFixed32(bytes, entry.ID);
      EncodeFixed32(bytes + 4, entry.Type);
      EncodeFixed32(bytes + 8, entry.Off);
      block.append(reinterpret_cast<char*>(bytes), sizeof bytes);
    };
    std::size_t nextAdded = 0;
    for (uint32_t i = first; i <= list.count; ++i) {
      while (nextAdded < added.size() && added[nextAdded].first == i)
        put(added[nextAdded++].second);
      if (i == list.count) break;
      put({list.ID[i], list.Type[i], static_cast<uint32_t>(list.Off[i] - data + t.delta[i])});
    }
    if (!block.empty()) {
      ChangePlan::Write w;
      w.pos = EntryPos(newTable, first);
      w.bytes = std::move(block);
      plan.writes.push_back(std::move(w));
    }
    if (!added.empty()) {
      ChangePlan::Write w;
      w.pos = newTable;
      w.bytes.resize(4);
      EncodeFixed32(reinterpret_cast<uint8_t*>(w.bytes.data()),
                    list.count + static_cast<uint32_t>(added.size()));
      plan.writes.push_back(std::move(w));
    }
  }
  if (newLength != length) {
    for (const auto& [at, size] : {std::pair{OUTER_SIZE_OFFSET, OuterSizeFor(newLength)},
                                   std::pair{ROOT_SIZE_OFFSET, RootSizeFor(newLength)}}) {
      ChangePlan::Write w;
      w.pos = at;
      w.bytes.resize(4);
      EncodeFixed32(reinterpret_cast<uint8_t*>(w.bytes.data()), size);
      plan.writes.push_back(std::move(w));
    }
  }

  if (plan.writes.empty() && newLength == length) return Status::Ok();
  return RunJournaled(target, plan);
}

}  // namespace atb
