// A patch made for one file, made again for a newer one: each change is made on NEW as far as it
// fits (patches/loose_apply.h), and what it came to is told change by change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patches/loose_apply.h"
#include "patches/patch.h"
#include "store/positioned_file.h"
#include "text/key_names.h"

namespace atb {

struct RebaseOutcome {
  // The patch does not apply to OLD: every change that does not, as apply says it.
  std::vector<std::string> refused;
  // One per change of the patch, in its order. kApplied: it still applies, stated against NEW's
  // values; kAlready: NEW holds it already; kClash: NEW changed the entry differently from OLD
  // (`found` says what NEW holds); kGone: its entry or table is gone from NEW.
  std::vector<LooseFate> fates;
  // The scratch file holding NEW with the changes that still apply, while the scratch lives.
  ChangeTarget* result = nullptr;
  int64_t resultLength = 0;
};

// Makes `patch`, made for OLD, again on a copy of NEW that `scratch` makes.
Status RebasePatch(PositionedFile& old, int64_t oldLength, PositionedFile& neu, int64_t newLength,
                   const Patch& patch, const KeyNames& names, Scratch& scratch,
                   RebaseOutcome* outcome);

}  // namespace atb
