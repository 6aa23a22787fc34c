// Mods: patches that users share, each made for one BASE file, installed together in a load
// order. Installing them makes each mod's changes in turn on a copy of BASE as far as they fit
// (patches/loose_apply.h), the later mod's change standing where two clash; what the mods do to
// each entry is then told entry by entry, with which mod wins and what kind of meeting it is.
//
// The engines here work on one file. A folder of mods is one call per file of it, each given
// that file of BASE and the per-file patches of the mods that touch it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "change/change.h"
#include "patches/loose_apply.h"
#include "patches/patch.h"
#include "store/positioned_file.h"
#include "text/key_names.h"

namespace atb {

// A mod: its name (the argument that gave it) and its patch, made for BASE.
struct Mod {
  std::string name;
  Patch patch;
};

// A mod given as an attribute file: the patch from BASE to it. Damaged when either root table is.
Status ModOfFile(ByteSource& base, int64_t baseLength, ByteSource& file, int64_t fileLength,
                 const KeyNames& names, Patch* patch);

// What mods do to one entry (or one table's lead, or the header).
struct ModEntry {
  // agree: every mod does the same. override: a later mod's change replaces an earlier one's.
  // lost: a later mod removes or replaces whole a table inside which an earlier mod changed this
  // entry. hidden: a mod's change does not show in the result (its entry or table was taken out
  // by an earlier mod). single: one mod alone touches the entry.
  enum Kind { kAgree, kOverride, kLost, kHidden, kSingle };
  struct Touch {
    std::string mod;
    // Its value as a patch gives an expected one ("float 2.5", "table 64 bytes fnv64 0x..."),
    // "removed", or "removed with PATH" / "replaced with PATH" where it takes out or replaces
    // whole the table PATH that holds the entry.
    std::string value;
  };
  std::string path;  // as dump names it in BASE; "lead PATH" for a lead, "header"
  bool inBase = true;
  std::string base;         // BASE's value, when inBase
  std::vector<Touch> mods;  // in load order
  std::string winner;       // the mod whose change the result shows
  Kind kind = kSingle;
};

// The word for a kind: agree, override, lost, hidden, single.
std::string_view ModKindWord(ModEntry::Kind kind);
// override, lost and hidden: the mods conflict there.
inline bool IsConflict(ModEntry::Kind kind) {
  return kind == ModEntry::kOverride || kind == ModEntry::kLost || kind == ModEntry::kHidden;
}

struct ModsOutcome {
  // Mods refused: a name given twice, a change that does not apply to BASE ("NAME: PATH:
  // expected ..., found ..."). Nothing else is done then.
  std::vector<std::string> refused;
  // Every entry that two or more mods touch (with `all`, every entry any mod touches), in the
  // order of BASE.
  std::vector<ModEntry> entries;
  // The scratch file holding BASE with the mods installed, while the scratch lives.
  ChangeTarget* result = nullptr;
  int64_t resultLength = 0;
};

// Installs `mods` in load order on a copy of `base` that `scratch` makes.
Status InstallMods(PositionedFile& base, int64_t baseLength, const std::vector<Mod>& mods,
                   const KeyNames& names, bool all, Scratch& scratch, ModsOutcome* outcome);

}  // namespace atb
