// Paths name one entry from the root: elements joined by "/". An element is a label, a decimal or
// 0x-hex key, "#N" (the entry numbered N in the dialogue's listing), or any other word, which
// stands for its hash; "[k]" after it picks the k-th of several matches. A word that matches no
// key may name a reference by the name it lists. "/" or "" names the root table.
//
// A path may instead start from an entry counted through the whole file: "@N" is the N-th entry
// that dump prints, from 1, and "@N/c" an entry of the table that it holds. Paths are printed so
// beyond kLongestFullPath bytes: written in full, the paths of tables nested d deep take d
// squared bytes together.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "store/layout.h"
#include "store/positioned_file.h"
#include "store/table.h"
#include "text/key_names.h"

namespace atb {

struct PathElement {
  enum Kind { kEntryNumber, kKey, kWord, kCounted };
  Kind kind;
  uint32_t number = 0;  // the entry number, the key, or the entry counted through the file
  std::string word;
  std::optional<uint32_t> pick;
  std::string text;  // as written, for messages
};

// Splits a path ("/", "a/0x10/#3/name[2]"; one leading slash optional) into its elements. Only
// the text is read: whether the elements name anything is PathResolver's. Invalid, naming the
// element, when one does not parse (an empty one, a number too large, a [k] or # without a
// number); "" and "/" give no element, the root.
Status ParsePath(std::string_view path, std::vector<PathElement>* elements);

// One element alone, as a key is written; "@" stands for nothing there.
Status ParsePathElement(std::string_view text, PathElement* element);

// A new entry's key, the way add, insert, patches and JSON take one: an element that is a
// label, a name or a number, without a pick.
bool IsKeyElement(const PathElement& element);
// The key that such an element names: its number, or its word's label or hash.
uint32_t KeyOfElement(const PathElement& element, const KeyNames& names);
// One element written alone (no slash in it); false when it does not parse.
bool ParseLoneElement(std::string_view text, PathElement* element);
// The key that `text`, written alone, names; false when it names none.
bool ParseKey(std::string_view text, const KeyNames& names, uint32_t* key);

// An entry's path is printed in full while it takes at most this many bytes, or while the entry
// lies in the root table; a longer one as "@N/ELEMENT", N being the number of the reference that
// holds the entry's table. Every element takes two bytes or more, so a path more than 64 tables
// deep is never printed in full.
inline constexpr std::size_t kLongestFullPath = 128;

// Whether an entry is printed by its full path: its table's full path takes `tableLength` bytes
// (0 for the root, kLongestFullPath or more once it is too long to be printed) and its own element
// `elementLength`.
inline bool PrintedInFull(std::size_t tableLength, std::size_t elementLength) {
  return tableLength == 0 || tableLength + 1 + elementLength <= kLongestFullPath;
}

// Appends "@N/ELEMENT" for entry `element` of the table that the N-th entry holds.
void AppendCountedPath(uint64_t holder, std::string_view element, std::string* path);

// One table on the way from the root to an entry, and the entry chosen in it. The list is the
// resolver's, which holds it as long as it lives.
struct PathStep {
  int64_t table;
  int64_t end;
  const EntryList* list;
  uint32_t entry;
};

// The entry a path names, and the table it lies in.
struct FoundEntry {
  int64_t table = 0, tableEnd = 0;
  CursorEntry entry;
};

// What PathResolver::Resolve does, holding no table: *found is the entry the path names, which
// must not be the root. Memory does not grow with the tables' sizes.
Status FindEntry(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                 const KeyNames& names, FoundEntry* found);

// Resolves the paths of one command in a file that does not change while it lives. Each table
// that a path reaches is read whole once and kept, with its keys in order, so that many paths
// into one large table cost about one read of it, not one scan each.
class PathResolver {
 public:
  PathResolver(ByteSource& file, int64_t length, const KeyNames& names);
  ~PathResolver();
  PathResolver(const PathResolver&) = delete;
  PathResolver& operator=(const PathResolver&) = delete;

  // The chain of tables from the root, each with the entry chosen in it; the last step's entry
  // is the one the path names. With no elements the chain is the root alone, and its entry is
  // unused. Refused when the path matches nothing or several entries, or goes through something
  // that is not a reference; damaged when it meets a damaged table; an I/O error when a read
  // fails.
  Status Resolve(const std::vector<PathElement>& elements, std::vector<PathStep>* chain);

  // The table at [table, end), as ReadTable reads it.
  Status Read(int64_t table, int64_t end, const EntryList** list);

 private:
  class Tables;
  const KeyNames& names_;
  int64_t length_;
  std::unique_ptr<Tables> tables_;
};

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

// The paths of the entries of one table, for a command that walks a file's tables from the root
// and names what it meets as dump does. The number of the reference that holds the table is
// counted only when a path is printed from it, from the numbers of its parent's entries, which
// the parent counts forward (asked in ascending order, it reads each part of the file once).
class TablePaths {
 public:
  // The root table of `file`, whose entries are `list`; both must outlive the namer, unmoved.
  TablePaths(ByteSource& file, const KeyNames& names, const EntryList& list);
  // The table held by entry i of `parent`'s list, whose entries are `list`.
  TablePaths(TablePaths& parent, uint32_t i, const EntryList& list);

  // Appends the path of entry i.
  Status AppendEntryPath(uint32_t i, std::string* path);
  // Appends the path of a new entry keyed `key`, which it would have as the table's only one.
  Status AppendNewEntryPath(uint32_t key, std::string* path);
  // Appends the table's own path: that of the entry holding it, "/" for the root.
  Status AppendTablePath(std::string* path);

 private:
  Status AppendPath(std::string_view element, std::string* path);
  // Counts the number of the reference holding the table, once.
  Status Count();
  // The number of entry i, counted from the table's own.
  Status Number(uint32_t i, uint64_t* number);

  ByteSource& file_;
  const KeyNames& names_;
  const EntryList& list_;
  TablePaths* parent_ = nullptr;
  uint32_t entry_ = 0;  // in the parent
  ElementNamer namer_;
  std::string full_;  // the table's full path while short enough to print entries by, else empty
  bool tooLong_ = false;
  bool counted_ = false;
  uint64_t number_ = 0;  // of the reference holding the table, once counted; 0 for the root
  uint32_t countedTo_ = 0;
  uint64_t countedNumber_ = 0;  // of entry countedTo_
};

// The path of the entry reached through `trail` (entry numbers from the root) as dump prints it,
// for messages; "/" for the root.
std::string CanonicalTablePath(ByteSource& file, int64_t length, const std::vector<uint32_t>& trail,
                               const KeyNames& names);

// The paths of many entries, each reached through its trail, as dump prints them ("/" for an
// empty trail): in dump's order, every table on the way is read once. Damaged when a trail does
// not lead to an entry through sound tables.
Status EntryPaths(ByteSource& file, int64_t length,
                  const std::vector<std::vector<uint32_t>>& trails, const KeyNames& names,
                  std::vector<std::string>* paths);

// The path of the table that CheckTree reached through the keys and picks of a damage, as dump
// prints the reference holding it; "/" for the root.
std::string DamagedTablePath(const KeyNames& names, const TableDamage& damage);

}  // namespace atb
