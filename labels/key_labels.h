// Display labels for known key hashes. Files carry only hashes; these labels are what a listing
// shows for them. The table is fixed data, the authority for showing a key; the hash of a name
// (labels/key_hash.h) serves names it lacks.
#pragma once

#include <cstdint>
#include <string>

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

// The key's label as stored, or "ID:" and the key in unsigned decimal when no row carries it.
std::string KeyLabelText(uint32_t key);

}  // namespace atb
