// The words that name entry types in text: patches, `add` and JSON share them, but for a
// reference, which patches and `add` call "table" and JSON "ref". Files and patches already
// written hold both spellings.
#pragma once

#include <cstdint>
#include <string_view>

#include "store/layout.h"

namespace atb {

enum class TypeSpelling { kPatch, kJson };

struct TypeWordRow {
  EntryType type;
  std::string_view patch, json;
};

inline constexpr TypeWordRow kTypeWords[] = {
    {EntryType::Float, "float", "float"},   {EntryType::Bool, "bool", "bool"},
    {EntryType::Text, "text", "text"},      {EntryType::LocalizedText, "localized", "localized"},
    {EntryType::Reference, "table", "ref"},
};

// The word for a type; empty for a type without one.
inline std::string_view WordOfType(uint32_t type, TypeSpelling spelling) {
  for (const TypeWordRow& row : kTypeWords) {
    if (static_cast<uint32_t>(row.type) == type) {
      return spelling == TypeSpelling::kPatch ? row.patch : row.json;
    }
  }
  return {};
}

// The type a word names; false when it names none.
inline bool TypeOfWord(std::string_view word, TypeSpelling spelling, uint32_t* type) {
  for (const TypeWordRow& row : kTypeWords) {
    if (word == (spelling == TypeSpelling::kPatch ? row.patch : row.json)) {
      *type = static_cast<uint32_t>(row.type);
      return true;
    }
  }
  return false;
}

// A type whose value has a text form: all but a reference and the types without a word.
inline bool IsValueType(uint32_t type) {
  return type != static_cast<uint32_t>(EntryType::Reference) &&
         !WordOfType(type, TypeSpelling::kPatch).empty();
}

}  // namespace atb
