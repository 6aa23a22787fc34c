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
#include "store/atb_file.h"
#include "store/layout.h"

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
// the text is read: whether the elements name anything is ResolvePath's. False with *error
// naming the element (an empty one, a number too large, a [k] or # without a number) otherwise;
// "" and "/" give no element, the root.
bool ParsePath(std::string_view path, std::vector<PathElement>* elements, std::string* error);

// One table on the way from the root to an entry, and the entry chosen in it.
struct PathStep {
  int64_t table;
  int64_t end;
  EntryList list;
  uint32_t entry;
};

// The chain of tables from the root, each with the entry chosen in it; the last step's entry is
// the one the path names. With no elements the chain is the root alone, and its entry is unused.
// False with *error set when the path matches nothing, several entries, goes through something
// that is not a reference, or meets a damaged table; *ioError is set when a read failed.
bool ResolvePath(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                 const KeyNames& names, std::vector<PathStep>* chain, std::string* error,
                 bool* ioError);

// How a dump names the entries of one table: by label or known name, else by decimal key, with
// "[k]" where a key repeats in the table.
class ElementNamer {
 public:
  ElementNamer(const KeyNames& names, const EntryList& list);
  // Appends the element for entry i of the list the namer was made for.
  void AppendElement(const EntryList& list, uint32_t i, std::string* path) const;

 private:
  const KeyNames* names_;
  std::vector<int32_t> picks_;  // -1 where the key is the only one of its kind
};

// The canonical path of the table reached through `trail` (entry numbers from the root), for
// messages; "/" for the root.
std::string CanonicalTablePath(ByteSource& file, int64_t length, const std::vector<uint32_t>& trail,
                               const KeyNames& names);

// The name a reference lists for its table: the text of its first entry keyed REF_NAME_KEY, up to
// its zero byte; nullopt when it has none.
std::optional<std::string> ReferenceName(ByteSource& file, const EntryList& nested);

}  // namespace atb
