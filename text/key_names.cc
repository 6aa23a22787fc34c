#include "text/key_names.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

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

Status Unreadable(int err) {
  return Status::IoError(err, "cannot be read: " + Status::IoError(err).Reason());
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

Status KeyNames::AddNamesFile(const std::string& path, Files& files) {
  const int fd = files.Open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd == -1) return Unreadable(errno).In(path);
  // Read in pieces; a line is added once its end has come.
  char buf[1 << 16];
  std::string line;
  int err = 0;
  for (;;) {
    const ssize_t n = files.Read(fd, buf, sizeof buf);
    if (n < 0) err = errno;
    if (n <= 0) break;
    for (const char* c = buf; c != buf + n; ++c) {
      if (*c != '\n') {
        line.push_back(*c);
        continue;
      }
      AddNameLine(line);
      line.clear();
    }
  }
  files.Close(fd);
  if (err != 0) return Unreadable(err).In(path);
  AddNameLine(line);
  return Status::Ok();
}

void KeyNames::AddLabel(uint32_t key, const std::string& word) {
  if (labelKeys_.count(word) != 0 || names_.count(key) != 0) return;
  labelKeys_.emplace(word, key);
  Add(key, word);
}

void KeyNames::AddNameLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  line.erase(std::min(line.find('\t'), line.size()));
  if (line.empty() || line[0] == '#') return;
  const uint32_t key = HashKeyName(line);
  Add(key, std::move(line));
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
