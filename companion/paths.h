// Paths name one entry from the root: elements joined by "/". An element is a label, a decimal or
// 0x-hex key, "#N" (the entry numbered N in the dialogue's listing), or any other word, which
// stands for its hash; "[k]" after it picks the k-th of several matches. A word that matches no
// key may name a reference by the name it lists. "/" or "" names the root table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "companion/key_names.h"
#include "platform/status.h"
#include "store/atb_file.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

struct PathElement {
  enum Kind { kEntryNumber, kKey, kWord };
  Kind kind;
  uint32_t number = 0;  // the entry number or the key
  std::string word;
  std::optional<uint32_t> pick;
  std::string text;  // as written, for messages
};

// Splits a path ("/", "a/0x10/#3/name[2]"; one leading slash optional) into its elements. Only
// the text is read: whether the elements name anything is ResolvePath's. Invalid, naming the
// element, when one does not parse (an empty one, a number too large, a [k] or # without a
// number); "" and "/" give no element, the root.
Status ParsePath(std::string_view path, std::vector<PathElement>* elements);

// One table on the way from the root to an entry, and the entry chosen in it.
struct PathStep {
  int64_t table;
  int64_t end;
  EntryList list;
  uint32_t entry;
};

// The entry a path names, and the table it lies in.
struct FoundEntry {
  int64_t table = 0, tableEnd = 0;
  CursorEntry entry;
};

// What ResolvePath does, holding no table: *found is the entry the path names, which must not be
// the root. Memory does not grow with the tables' sizes.
Status FindEntry(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                 const KeyNames& names, FoundEntry* found);

// The chain of tables from the root, each with the entry chosen in it; the last step's entry is
// the one the path names. With no elements the chain is the root alone, and its entry is unused.
// Refused when the path matches nothing or several entries, or goes through something that is
// not a reference; damaged when it meets a damaged table; an I/O error when a read fails.
Status ResolvePath(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                   const KeyNames& names, std::vector<PathStep>* chain);

// Appends how a dump names an entry with `key`: by label or known name, else by decimal key, with
// "[pick]" where the key repeats in its table (`pick` from KeyPicks, -1 when it does not).
void AppendPathElement(const KeyNames& names, uint32_t key, int32_t pick, std::string* path);

// How a dump names the entries of one table held whole: AppendPathElement with each entry's pick.
class ElementNamer {
 public:
  ElementNamer(const KeyNames& names, const EntryList& list);
  // Appends the element for entry i of the list the namer was made for.
  void AppendElement(const EntryList& list, uint32_t i, std::string* path) const {
    AppendPathElement(*names_, list.ID[i], picks_[i], path);
  }

 private:
  const KeyNames* names_;
  std::vector<int32_t> picks_;  // -1 where the key is the only one of its kind
};

// The canonical path of the entry reached through `trail` (entry numbers from the root), for
// messages; "/" for the root.
std::string CanonicalTablePath(ByteSource& file, int64_t length, const std::vector<uint32_t>& trail,
                               const KeyNames& names);

// The canonical path of the table that CheckTree reached through the keys and picks of a damage;
// "/" for the root.
std::string DamagedTablePath(const KeyNames& names, const TableDamage& damage);

}  // namespace atb
