// Display labels for known key hashes. Files carry only hashes; these labels are what a listing
// shows for them. The table is fixed data: nothing computes or checks a hash.
#pragma once

#include <cstdint>

#include "platform/console.h"

namespace atb {

struct KeyLabel {
  uint32_t hash;
  const char* label;
};

// The filled rows, in lookup order; the first row whose hash matches wins.
extern const KeyLabel KeyLabelTable[];
extern const int kKeyLabelCount;

// The first row's label for the key, or nullptr.
const char* FindKeyLabel(uint32_t key);

// Prints the key's label as stored, or "ID:" and the key in unsigned decimal when no row carries
// it. Nothing else: no separator, no line break.
void PrintKeyLabel(Console& console, uint32_t key);

}  // namespace atb
