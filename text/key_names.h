// Names for keys, both ways: what a path or a dump calls a key, and which key a word stands for.
// The label table comes first; names a user knows (one per line in a names file) add to it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/files.h"
#include "platform/status.h"

namespace atb {

// Names longer than this are never shown; their words still stand for their keys.
inline constexpr std::size_t kLongestShownName = 64;

// atbutil's label for the key of the entry that gives a nested table its name (REF_NAME_KEY),
// a word that no label of the table holds (the dialogue shows the key as a number).
inline constexpr const char* kReferenceNameLabel = "ref_name";

class KeyNames {
 public:
  KeyNames();

  // Adds every line of the file at `path` as a name, keyed by its hash, reading it through
  // `files`: a line's name is what comes before its first tab, and a line that starts with "#"
  // is a comment. An I/O error, with the system's errno, when the file cannot be read.
  Status AddNamesFile(const std::string& path, Files& files = SystemFiles());

  // Gives `key` the label `word`, as the label table would: in a path the word then stands for
  // the key, before any name. No change when the word is a label already or the key has a name.
  void AddLabel(uint32_t key, const std::string& word);

  // The key a word stands for: a label of the label table, or else the word's hash.
  uint32_t KeyOfWord(std::string_view word) const;

  // The label or known name of a key, as stored; empty when it has none.
  std::string_view NameOf(uint32_t key) const;

  // The name under which a path can show the key: its label or known name when that is a plain
  // word (letters, digits, "_") that reads back as the same key; empty otherwise.
  std::string_view PathNameOf(uint32_t key) const;

 private:
  std::unordered_map<uint32_t, std::string> names_;      // first name wins for a key
  std::unordered_map<std::string, uint32_t> labelKeys_;  // label table only
  std::unordered_map<uint32_t, std::string> pathNames_;
  void Add(uint32_t key, std::string name);
  void AddNameLine(std::string line);
};

// Whether `word`, as a path element, would be read as a number (decimal, 0x-hex or #N) rather
// than as a word.
bool LooksNumeric(std::string_view word);

}  // namespace atb
