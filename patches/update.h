// Updates: every entry a selector matches set to a value, or a float changed by arithmetic
// (= += -= *= /=), step after step, each seeing what the ones before it did. What they make of a
// file is a patch (patches/patch.h), so that an update over many files is one change over all of
// them, and `--dry-run` prints that patch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patches/loose_apply.h"
#include "patches/patch.h"
#include "text/select.h"

namespace atb {

struct UpdateStep {
  enum Op { kSet, kAdd, kSubtract, kMultiply, kDivide };
  std::string text;  // the selector as given, for messages
  Selector selector;
  Op op = kSet;
  std::string value;     // kSet: as dump prints it
  double operand = 0.0;  // the others: a float
};

// Reads SELECTOR OP VALUE triples. Invalid, saying which word, when they do not parse.
Status ParseUpdateSteps(const std::vector<std::string>& words, const KeyNames& names,
                        std::vector<UpdateStep>* steps);

struct UpdateOutcome {
  // Entries a step cannot change ("FILE: PATH: why"): nothing is written then.
  std::vector<std::string> refused;
  std::vector<int64_t> matched;  // per step, entries matched so far
  int64_t values = 0;            // changes the patches make
};

// The patch that makes the steps of an update on `file` (named `name` in messages), on *patch;
// empty when they change nothing. With more than one step, the steps are made in turn on a copy
// that `scratch` makes.
Status PlanUpdate(PositionedFile& file, int64_t length, const std::string& name,
                  const std::vector<UpdateStep>& steps, const KeyNames& names, Scratch& scratch,
                  std::string* patch, UpdateOutcome* outcome);

}  // namespace atb
