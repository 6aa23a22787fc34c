// Finding the names of keys in the texts of attribute files: a key is the hash of its name, and a
// name is often found among the texts (a reference's name, a text that names another entry).
// Every text is tried whole and word by word; a word is a run of name characters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "store/positioned_file.h"
#include "text/key_names.h"

namespace atb {

// The characters of a word: ASCII letters, digits and "_", the characters of a name that a path
// can hold as it stands. Any other byte splits a text into words.
bool IsNameCharacter(char c);

// What the texts of files give: every key with the number of entries that have it, and for each
// hash a word or text that gives it (at most kLongestShownName bytes, no control character).
struct NameFinds {
  std::unordered_map<uint32_t, int64_t> keys;
  std::unordered_map<uint32_t, std::string> words;

  void Add(NameFinds&& other);
  // Tries `text` whole and each of its words.
  void AddText(std::string_view text);
};

// Reads every entry of the file of `length` bytes into *finds; the texts of 8-bit and localized
// text entries (as UTF-8) are tried. A damaged table is skipped, its reason in *damage (the
// first one met); only an I/O error fails.
Status FindNames(ByteSource& file, int64_t length, NameFinds* finds, std::string* damage);

// A names file of every word whose hash is a key of `finds` that `names` has no name for, sorted,
// each line "NAME<tab># N entries" (KeyNames reads the name before the tab). A word that is the
// label of another key is left out: it would never read as its hash.
std::string NamesFileText(const NameFinds& finds, const KeyNames& names);

}  // namespace atb
