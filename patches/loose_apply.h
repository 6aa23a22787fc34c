// Making a patch's changes on a file that may differ from the one they were made for, as far as
// they fit: the common part of installing several mods at once and of making a patch again for a
// newer file. Entries are matched between the two files by key, as diff matches them, so a change
// finds its entry wherever the other file moved it.
//
// Each change comes out one of four ways. A set (and a lead, and the header) applies where the
// entry holds what the change expected, is already there where it holds the new value, and
// clashes where it holds anything else; it is gone where its entry or a table on its way is (taken
// out, or no longer a sound table). A remove applies or clashes the same way, and is already there
// where its entry is gone. An add goes between its neighbours while they are still neighbours;
// where entries were added between them since, it goes among those at its key's place. An add of a
// key that its table did not hold, made once, meets a key added there since as one attribute: it
// is already there where the value is alike, and clashes where it is not; an add alike to an entry
// added since between the same neighbours is already there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "change/change.h"
#include "patches/patch.h"
#include "store/positioned_file.h"
#include "text/key_names.h"

namespace atb {

// A file that an engine may change as it likes, made afresh as a copy of another; the command
// layer gives a temporary one whose changes are not flushed.
class Scratch {
 public:
  virtual ~Scratch() = default;
  // Makes the scratch file a copy of the first `length` bytes of `from`; *target changes it until
  // the next copy. Any earlier target is then gone.
  virtual Status CopyOf(ByteSource& from, int64_t length, ChangeTarget** target) = 0;
};

struct LooseFate {
  enum Kind { kApplied, kAlready, kClash, kGone };
  Kind kind = kApplied;
  // kClash: what the file holds there instead, as an expected value; kGone: what is gone.
  std::string found;
};

// Makes on the file of `target` the changes of `patch`, made for the file `made` and lying at
// `places` there (LocatePatch): those that apply, and with `clashes` those that clash too (the
// patch's value replacing whatever is there), as one change. (*fates)[k] tells how change k fared.
// A failing read or write is an I/O error; a change that the change layer declines, refused.
Status LooseApply(ByteSource& made, int64_t madeLength, const Patch& patch,
                  const std::vector<ChangePlace>& places, bool clashes, const KeyNames& names,
                  ChangeTarget& target, std::vector<LooseFate>* fates);

// Whether the bytes [start, end) of `file`, of `type`, are what `value` gives (by size and hash
// where it is hashed).
Status HoldsValue(ByteSource& file, uint32_t type, int64_t start, int64_t end,
                  const PatchValue& value, bool* holds);

}  // namespace atb
