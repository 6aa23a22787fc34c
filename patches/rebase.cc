#include "patches/rebase.h"

namespace atb {

Status RebasePatch(PositionedFile& old, int64_t oldLength, PositionedFile& neu, int64_t newLength,
                   const Patch& patch, const KeyNames& names, Scratch& scratch,
                   RebaseOutcome* outcome) {
  *outcome = RebaseOutcome();
  std::vector<ChangePlace> places;
  PatchOutcome located;
  Status s = LocatePatch(old, oldLength, patch, names, &places, &located);
  if (!s.ok()) return s;
  if (!located.failures.empty()) {
    outcome->refused = std::move(located.failures);
    return Status::Ok();
  }
  ChangeTarget* target;
  if (!(s = scratch.CopyOf(neu, newLength, &target)).ok()) return s;
  s = LooseApply(old, oldLength, patch, places, false, names, *target, &outcome->fates);
  if (!s.ok()) return s;
  outcome->result = target;
  return target->file.Length(&outcome->resultLength);
}

}  // namespace atb
