#include "text/key_names.h"

#include <fstream>

#include "labels/key_hash.h"
#include "labels/key_labels.h"

namespace atb {

namespace {

bool IsPlainWord(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return true;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool LooksNumeric(std::string_view word) {
  if (word.empty()) return false;
  if (word[0] == '#') return true;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    for (char c : word.substr(2)) {
      if (!IsHexDigit(c)) return false;
    }
    return true;
  }
  for (char c : word) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

KeyNames::KeyNames() {
  for (int i = 0; i < kKeyLabelCount; ++i) {
    labelKeys_.emplace(KeyLabelTable[i].label, KeyLabelTable[i].hash);
  }
  for (int i = 0; i < kKeyLabelCount; ++i) Add(KeyLabelTable[i].hash, KeyLabelTable[i].label);
}

void KeyNames::Add(uint32_t key, std::string name) {
  // A name shown for every entry with its key: a long one would make the output grow far faster
  // than the file. Its word still reads as its key in a path.
  if (name.size() > kLongestShownName || names_.count(key) != 0) return;
  if (IsPlainWord(name) && !LooksNumeric(name) && KeyOfWord(name) == key) {
    pathNames_.emplace(key, name);
  }
  names_.emplace(key, std::move(name));
}

Status KeyNames::AddNamesFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return Status::IoError(0, "cannot be read").In(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) Add(HashKeyName(line), line);
  }
  if (in.bad()) return Status::IoError(0, "cannot be read").In(path);
  return Status::Ok();
}

uint32_t KeyNames::KeyOfWord(std::string_view word) const {
  auto it = labelKeys_.find(std::string(word));
  return it != labelKeys_.end() ? it->second : HashKeyName(word);
}

std::string_view KeyNames::NameOf(uint32_t key) const {
  auto it = names_.find(key);
  return it == names_.end() ? std::string_view() : std::string_view(it->second);
}

std::string_view KeyNames::PathNameOf(uint32_t key) const {
  auto it = pathNames_.find(key);
  return it == pathNames_.end() ? std::string_view() : std::string_view(it->second);
}

}  // namespace atb
