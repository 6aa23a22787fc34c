#include "text/name_finder.h"

#include <algorithm>
#include <vector>

#include "labels/key_hash.h"
#include "store/layout.h"
#include "store/text_end.h"
#include "store/tree_walk.h"
#include "store/utf.h"

namespace atb {

namespace {

bool Shown(std::string_view word) {
  if (word.empty() || word.size() > kLongestShownName || word[0] == '#') return false;
  return std::none_of(word.begin(), word.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// Of two words with one hash, the one a path can hold, then the shorter, then the first in order.
bool Better(const std::string& a, const std::string& b) {
  const bool aPlain = std::all_of(a.begin(), a.end(), IsNameCharacter);
  const bool bPlain = std::all_of(b.begin(), b.end(), IsNameCharacter);
  if (aPlain != bPlain) return aPlain;
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

void Offer(std::unordered_map<uint32_t, std::string>& words, std::string_view word) {
  if (!Shown(word)) return;
  auto [it, added] = words.try_emplace(HashKeyName(word), word);
  if (!added && Better(std::string(word), it->second)) it->second = word;
}

class Finder : public TreeVisitor {
 public:
  explicit Finder(NameFinds& finds, std::string& damage) : finds_(finds), damage_(damage) {}

  Status Entry(TreeWalk& walk, const CursorEntry& e) override {
    ++finds_.keys[e.ID];
    if (e.Is(EntryType::Text)) {
      std::string text;
      Status s = ReadUpToZero(walk.window(), e.start, e.end, &text);
      if (!s.ok()) return s;
      finds_.AddText(text);
    } else if (e.Is(EntryType::LocalizedText)) {
      return Localized(walk.window(), e);
    }
    return Status::Ok();
  }
  Status Damaged(TreeWalk&, const CursorEntry*, const Status& why) override {
    if (damage_.empty()) damage_ = why.Reason();
    return Status::Ok();
  }

 private:
  // As UTF-8; an unpaired surrogate splits words as any other character that is no name's.
  Status Localized(ByteSource& file, const CursorEntry& e) {
    int64_t zero = -1;
    Status s = FindZero(file, e.start, e.end, 2, &zero);
    if (!s.ok()) return s;
    const int64_t stop = zero >= 0 ? zero : e.start + (e.end - e.start) / 2 * 2;
    std::string bytes(static_cast<std::size_t>(stop - e.start), '\0');
    if (!(s = file.ReadAt(e.start, bytes.data(), bytes.size())).ok()) return s;
    const std::vector<uint16_t> units = DecodeUtf16LE(bytes);
    std::string text;
    for (std::size_t i = 0; i < units.size();) {
      const uint32_t cp = NextUtf16(units.data(), units.size(), &i);
      AppendUtf8(IsSurrogate(cp) ? 0xFFFD : cp, &text);
    }
    finds_.AddText(text);
    return Status::Ok();
  }

  NameFinds& finds_;
  std::string& damage_;
};

}  // namespace

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

void NameFinds::Add(NameFinds&& other) {
  for (const auto& [key, count] : other.keys) keys[key] += count;
  for (auto& [hash, word] : other.words) {
    auto [it, added] = words.try_emplace(hash, word);
    if (!added && Better(word, it->second)) it->second = std::move(word);
  }
}

void NameFinds::AddText(std::string_view text) {
  Offer(words, text);
  for (std::size_t at = 0; at < text.size();) {
    if (!IsNameCharacter(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && IsNameCharacter(text[end])) ++end;
    // The whole text is offered already.
    if (end - at < text.size()) Offer(words, text.substr(at, end - at));
    at = end;
  }
}

Status FindNames(ByteSource& file, int64_t length, NameFinds* finds, std::string* damage) {
  Finder finder(*finds, *damage);
  TreeWalk walk(file);
  return walk.Run(ROOT_TABLE_OFFSET, length, finder);
}

std::string NamesFileText(const NameFinds& finds, const KeyNames& names) {
  std::vector<std::pair<std::string, int64_t>> lines;
  for (const auto& [hash, word] : finds.words) {
    auto key = finds.keys.find(hash);
    if (key == finds.keys.end() || !names.NameOf(hash).empty()) continue;
    // A label of another key: in a path the word stands for that key, never for its hash.
    if (names.KeyOfWord(word) != hash) continue;
    lines.emplace_back(word, key->second);
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const auto& [word, count] : lines) {
    text += word + "\t# " + std::to_string(count) + (count == 1 ? " entry\n" : " entries\n");
  }
  return text;
}

}  // namespace atb
