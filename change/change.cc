#include "change/change.h"

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <set>

#include "change/journal.h"
#include "change/mark.h"
#include "store/coding.h"
#include "store/layout.h"
#include "store/table.h"
#include "store/table_builder.h"

namespace atb {

namespace {

// One table that a change reaches, as it is before the change.
struct Reached {
  int64_t end;
  EntryList list;
  // What entry i's stored Off gains, the growth of everything in front of its value: collected
  // as "from entry i on" steps, one slot more than entries, and summed once all are in.
  std::vector<int64_t> delta;
  // Entries added, in the order they were asked for: the index they go in front of, the entry,
  // and the splice that holds its value.
  struct Added {
    uint32_t before;
    int64_t rank;  // among entries added in front of one entry
    TableEntry entry;
    std::size_t valueSplice;
  };
  std::vector<Added> added;
  std::vector<uint32_t> removed;         // entries taken out, by index
  std::map<uint32_t, uint32_t> retyped;  // new types, by index
};

// Entries added at a place given by the caller rank behind those placed by key (below 2^32).
constexpr int64_t kPlacedRank = int64_t{1} << 32;
// A table's lead lies behind its entry block and in front of everything in its data area.
constexpr int64_t kLeadPlace = std::numeric_limits<int64_t>::max();

// One splice and where it stands in the tree, to order splices that share a position: a table's
// entry block comes before its data area (the block of a table with k entries ends where its
// data begins); a position inside entry e comes after e's predecessors and before its
// successors; an entry added at index k goes in front of entry k, and entries added at one index
// go in the order of their keys, so that keys keep ascending.
struct PlacedSplice {
  Splice splice;
  std::vector<int64_t> order;
  const void* edit;  // the edit whose bytes go in; nullptr when nothing is written there
};

ChangePlan::Write Fixed32At(int64_t pos, uint32_t v) {
  ChangePlan::Write w;
  w.pos = pos;
  w.bytes.resize(4);
  EncodeFixed32(reinterpret_cast<uint8_t*>(w.bytes.data()), v);
  return w;
}

}  // namespace

// The steps from edits to a plan, in the order Apply takes them; each step fills in what the
// next one reads.
class Change::Planner {
 public:
  explicit Planner(const std::vector<Edit>& edits) : edits_(edits) {}

  // Reads every table on every chain and checks that each chain holds together, and that no
  // edit lies inside an entry that another takes out.
  Status ReadChains(PositionedFile& file, int64_t length);
  // The splices of every edit, and what each adds to the offsets of the entries behind it.
  void PlaceSplices();
  // Puts the splices in file order, refusing overlaps, and fixes where each lands.
  Status OrderSplices(ChangePlan* plan);
  // The bytes that go into the space made.
  void WriteValues(ChangePlan* plan) const;
  // Each reached table's count, and its entries from the first that changes, in their new place.
  void WriteEntryBlocks(ChangePlan* plan) const;
  // The header's sizes, or the whole header when a new one is given.
  static void WriteHeader(ChangePlan* plan, const std::string& header);

 private:
  void Place(Splice splice, std::vector<int64_t> order, const Edit* edit) {
    placed_.push_back({splice, std::move(order), edit});
  }
  // Where a byte of the file as it is ends up: behind every splice that ends at or before it.
  int64_t NewPos(int64_t pos) const {
    const auto after = std::upper_bound(ends_.begin(), ends_.end(), pos) - ends_.begin();
    return pos + grownBefore_[static_cast<std::size_t>(after)];
  }

  const std::vector<Edit>& edits_;
  std::map<int64_t, Reached> tables_;
  std::vector<PlacedSplice> placed_;
  std::vector<int64_t> newStart_;  // per placed splice: where its space begins in the new file
  // The splices in file order: where each ends in the file as it is, and the growth in front.
  std::vector<int64_t> ends_, grownBefore_;
};

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
  e.kind = Edit::kInsert;
  e.chain = std::move(chain);
  e.key = key;
  e.type = type;
  e.bytes = std::move(value);
  edits_.push_back(std::move(e));
}

void Change::Insert(TableChain chain, uint32_t key, uint32_t type, ByteSource& source, int64_t size,
                    bool table) {
  Edit e;
  e.kind = Edit::kInsert;
  e.chain = std::move(chain);
  e.key = key;
  e.type = type;
  e.source = &source;
  e.size = size;
  e.table = table;
  edits_.push_back(std::move(e));
}

void Change::Remove(TableChain chain) {
  Edit e;
  e.kind = Edit::kRemove;
  e.chain = std::move(chain);
  edits_.push_back(std::move(e));
}

void Change::InsertAt(TableChain chain, uint32_t before, uint32_t key, uint32_t type,
                      std::string value) {
  Insert(std::move(chain), key, type, std::move(value));
  edits_.back().before = before;
}

void Change::ReplaceLead(TableChain chain, std::string bytes) {
  Edit e;
  e.kind = Edit::kLead;
  e.chain = std::move(chain);
  e.bytes = std::move(bytes);
  edits_.push_back(std::move(e));
}

void Change::SetType(TableChain chain, uint32_t type) {
  Edit e;
  e.kind = Edit::kType;
  e.chain = std::move(chain);
  e.type = type;
  edits_.push_back(std::move(e));
}

void Change::SetHeader(std::string header) {
  header.resize(static_cast<std::size_t>(ROOT_TABLE_OFFSET));
  header_ = std::move(header);
}

Status Change::Apply(ChangeTarget& target) const {
  if (empty()) return Status::Ok();
  // Every open would take such a file for one left in the middle of a change, and refuse it.
  if (!header_.empty()) {
    const FileMark mark = MarkIn(reinterpret_cast<const uint8_t*>(header_.data()));
    if (mark.marked || mark.damaged) {
      return Status::Refused(
          "the new header begins as the mark of an interrupted change, which would make the "
          "file unreadable");
    }
  }
  PositionedFile& file = target.file;
  ChangePlan plan;
  plan.chunkBytes = chunkBytes_;
  Status s = file.Length(&plan.oldLength);
  if (!s.ok()) return s;
  Planner planner(edits_);
  if (!(s = planner.ReadChains(file, plan.oldLength)).ok()) return s;
  planner.PlaceSplices();
  if (!(s = planner.OrderSplices(&plan)).ok()) return s;
  planner.WriteValues(&plan);
  planner.WriteEntryBlocks(&plan);
  Planner::WriteHeader(&plan, header_);

  if (target.planned != nullptr) {
    *target.planned = std::move(plan);
    return Status::Ok();
  }
  if (plan.writes.empty() && plan.newLength == plan.oldLength) return Status::Ok();
  return RunJournaled(target, plan);
}

Status Change::Planner::ReadChains(PositionedFile& file, int64_t length) {
  for (const Edit& e : edits_) {
    if (e.chain.empty() || e.chain[0].table != ROOT_TABLE_OFFSET || e.chain[0].end != length) {
      return Status::Refused("a change must start at the root table");
    }
    for (std::size_t l = 0; l < e.chain.size(); ++l) {
      const TableLink& link = e.chain[l];
      auto [it, fresh] = tables_.try_emplace(link.table);
      Reached& t = it->second;
      if (fresh) {
        t.end = link.end;
        Status s = ReadTable(file, link.table, link.end, &t.list);
        if (!s.ok()) return s;
        t.delta.assign(t.list.count + 1, 0);
      } else if (t.end != link.end) {
        return Status::Refused("two changes see one table with different ends");
      }
      const bool last = l + 1 == e.chain.size();
      if (last && e.kind == Edit::kInsert && e.before > static_cast<int64_t>(t.list.count)) {
        return Status::Refused("no such entry");
      }
      if (last && (e.kind == Edit::kInsert || e.kind == Edit::kLead)) break;
      if (link.entry >= t.list.count) return Status::Refused("no such entry");
      if (!last) {
        const TableLink& next = e.chain[l + 1];
        if (!t.list.Is(link.entry, EntryType::Reference) ||
            next.table != t.list.ExtentStart(link.entry) ||
            next.end != t.list.ExtentEnd(link.entry)) {
          return Status::Refused("the chain does not follow the file's references");
        }
      } else if (e.kind == Edit::kReplace &&
                 (e.pos < t.list.ExtentStart(link.entry) || e.removed < 0 ||
                  e.pos + e.removed > t.list.ExtentEnd(link.entry))) {
        return Status::Refused("a replacement outside its entry's extent");
      }
    }
  }
  // An entry taken out takes every edit inside it along; even an empty one that the splices
  // alone would let through.
  std::set<std::pair<int64_t, uint32_t>> removed;
  for (const Edit& e : edits_) {
    if (e.kind != Edit::kRemove) continue;
    if (!removed.insert({e.chain.back().table, e.chain.back().entry}).second) {
      return Status::Refused("two changes overlap");
    }
    tables_[e.chain.back().table].removed.push_back(e.chain.back().entry);
  }
  for (const Edit& e : edits_) {
    const bool onEntry = e.kind == Edit::kReplace || e.kind == Edit::kType;
    const std::size_t through = onEntry ? e.chain.size() : e.chain.size() - 1;
    for (std::size_t l = 0; l < through; ++l) {
      if (removed.count({e.chain[l].table, e.chain[l].entry}) != 0) {
        return Status::Refused("two changes overlap");
      }
    }
  }
  return Status::Ok();
}

void Change::Planner::PlaceSplices() {
  for (const Edit& e : edits_) {
    // The enclosing tables' places first, then the entry's place in its own table.
    std::vector<int64_t> order;
    for (std::size_t l = 0; l + 1 < e.chain.size(); ++l)
      order.push_back(2 * static_cast<int64_t>(e.chain[l].entry) + 1);
    const auto inBlock = [&order](std::initializer_list<int64_t> place) {
      std::vector<int64_t> o = order;
      o.push_back(-1);
      o.insert(o.end(), place);
      return o;
    };
    const auto inData = [&order](std::initializer_list<int64_t> place) {
      std::vector<int64_t> o = order;
      o.insert(o.end(), place);
      return o;
    };
    const TableLink& link = e.chain.back();
    Reached& t = tables_[link.table];
    const int64_t own = 2 * static_cast<int64_t>(link.entry) + 1;
    int64_t growth = 0;
    switch (e.kind) {
      case Edit::kReplace:
        Place({e.pos, e.removed, static_cast<int64_t>(e.bytes.size())}, inData({own}), &e);
        growth = static_cast<int64_t>(e.bytes.size()) - e.removed;
        // Entries of the entry's own table behind it move too.
        t.delta[link.entry + 1] += growth;
        break;
      case Edit::kInsert: {
        uint32_t k = 0;
        if (e.before >= 0) {
          k = static_cast<uint32_t>(e.before);
        } else {
          while (k < t.list.count && t.list.ID[k] <= e.key) ++k;
        }
        const int64_t place = 2 * static_cast<int64_t>(k);
        const int64_t rank = e.before >= 0 ? kPlacedRank : e.key;
        const int64_t size = e.Size();
        Place({EntryPos(link.table, k), 0, ENTRY_SIZE}, inBlock({place, rank}), nullptr);
        t.added.push_back({k, rank, {e.key, e.type, 0}, placed_.size()});
        Place({t.list.Off[k], 0, size}, inData({place, rank}), &e);
        t.delta[k] += size;
        growth = size + ENTRY_SIZE;
        break;
      }
      case Edit::kRemove: {
        const int64_t start = t.list.ExtentStart(link.entry);
        const int64_t size = t.list.ExtentEnd(link.entry) - start;
        Place({EntryPos(link.table, link.entry), ENTRY_SIZE, 0}, inBlock({own}), nullptr);
        Place({start, size, 0}, inData({own}), nullptr);
        t.delta[link.entry + 1] -= size;
        growth = -size - ENTRY_SIZE;
        break;
      }
      case Edit::kLead: {
        const int64_t start = DataStart(link.table, t.list.count);
        const int64_t size = t.list.Off[0] - start;
        Place({start, size, static_cast<int64_t>(e.bytes.size())}, inData({-1, kLeadPlace}), &e);
        growth = static_cast<int64_t>(e.bytes.size()) - size;
        t.delta[0] += growth;
        break;
      }
      case Edit::kType:
        t.retyped[link.entry] = e.type;
        break;
    }
    // Every enclosing table's entries behind the reference descended through move with it.
    for (std::size_t l = 0; l + 1 < e.chain.size(); ++l)
      tables_[e.chain[l].table].delta[e.chain[l].entry + 1] += growth;
  }
  for (auto& [table, t] : tables_) {
    for (uint32_t i = 1; i < t.list.count; ++i) t.delta[i] += t.delta[i - 1];
  }
}

Status Change::Planner::OrderSplices(ChangePlan* plan) {
  std::vector<std::size_t> sorted(placed_.size());
  std::iota(sorted.begin(), sorted.end(), 0);
  std::stable_sort(sorted.begin(), sorted.end(), [&](std::size_t a, std::size_t b) {
    if (placed_[a].splice.pos != placed_[b].splice.pos) {
      return placed_[a].splice.pos < placed_[b].splice.pos;
    }
    return placed_[a].order < placed_[b].order;
  });
  plan->newLength = plan->oldLength;
  for (std::size_t i : sorted) {
    const Splice& sp = placed_[i].splice;
    const std::vector<Splice>& done = plan->splices;
    if (!done.empty() && done.back().pos + done.back().removed > sp.pos) {
      return Status::Refused("two changes overlap");
    }
    plan->splices.push_back(sp);
    plan->newLength += sp.inserted - sp.removed;
  }
  if (plan->newLength > MAX_FILE_LENGTH) return Status::TooLarge();

  const std::vector<Splice>& splices = plan->splices;
  ends_.resize(splices.size());
  grownBefore_.assign(splices.size() + 1, 0);
  for (std::size_t i = 0; i < splices.size(); ++i) {
    ends_[i] = splices[i].pos + splices[i].removed;
    grownBefore_[i + 1] = grownBefore_[i] + splices[i].inserted - splices[i].removed;
  }
  newStart_.resize(placed_.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    newStart_[sorted[i]] = splices[i].pos + grownBefore_[i];
  }
  return Status::Ok();
}

void Change::Planner::WriteValues(ChangePlan* plan) const {
  for (std::size_t i = 0; i < placed_.size(); ++i) {
    const auto* e = static_cast<const Edit*>(placed_[i].edit);
    if (e == nullptr || e->Size() == 0) continue;
    ChangePlan::Write w;
    w.pos = newStart_[i];
    w.bytes = e->bytes;
    w.source = e->source;
    w.size = e->size;
    w.table = e->table;
    plan->writes.push_back(std::move(w));
  }
}

void Change::Planner::WriteEntryBlocks(ChangePlan* plan) const {
  for (const auto& [table, t] : tables_) {
    const EntryList& list = t.list;
    const int64_t data = DataStart(table, list.count);
    const auto count = static_cast<uint32_t>(list.count + t.added.size() - t.removed.size());
    // Nothing is spliced into a table's count or in front of it within the table, so the
    // count's new place fixes the entry block's and the data area's.
    const int64_t newTable = NewPos(table);
    const int64_t newData = DataStart(newTable, count);
    uint32_t first = list.count;
    for (uint32_t i = 0; i < list.count; ++i) {
      if (t.delta[i] != 0) {
        first = i;
        break;
      }
    }
    std::vector<std::pair<std::pair<uint32_t, int64_t>, TableEntry>> added;
    for (const Reached::Added& a : t.added) {
      first = std::min(first, a.before);
      TableEntry entry = a.entry;
      entry.Off = static_cast<uint32_t>(newStart_[a.valueSplice] - newData);
      added.push_back({{a.before, a.rank}, entry});
    }
    std::stable_sort(added.begin(), added.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [i, type] : t.retyped) first = std::min(first, i);
    std::vector<bool> gone(list.count, false);
    for (uint32_t i : t.removed) {
      gone[i] = true;
      first = std::min(first, i);
    }
    // Entries before `first` keep their indices, so the block starts at the same index.
    std::string block;
    std::size_t nextAdded = 0;
    for (uint32_t i = first; i <= list.count; ++i) {
      while (nextAdded < added.size() && added[nextAdded].first.first == i)
        TableBuilder::AppendRecord(&block, added[nextAdded++].second);
      if (i == list.count) break;
      if (gone[i]) continue;
      const auto retyped = t.retyped.find(i);
      const uint32_t type = retyped != t.retyped.end() ? retyped->second : list.Type[i];
      TableBuilder::AppendRecord(
          &block, {list.ID[i], type, static_cast<uint32_t>(list.Off[i] - data + t.delta[i])});
    }
    if (!block.empty()) {
      ChangePlan::Write w;
      w.pos = EntryPos(newTable, first);
      w.bytes = std::move(block);
      plan->writes.push_back(std::move(w));
    }
    if (count != list.count) plan->writes.push_back(Fixed32At(newTable, count));
  }
}

void Change::Planner::WriteHeader(ChangePlan* plan, const std::string& header) {
  if (!header.empty()) {
    ChangePlan::Write w;
    w.bytes = header;
    SetHeaderSizes(&w.bytes, plan->newLength);
    plan->writes.push_back(std::move(w));
    return;
  }
  if (plan->newLength == plan->oldLength) return;
  for (const HeaderField& f : HeaderSizes(plan->newLength)) {
    plan->writes.push_back(Fixed32At(f.offset, f.value));
  }
}

}  // namespace atb
