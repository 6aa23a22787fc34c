#include "patches/update.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "patches/diff.h"
#include "store/coding.h"
#include "store/layout.h"
#include "text/dump.h"
#include "text/set_value.h"
#include "text/value_text.h"

namespace atb {

Status ParseUpdateSteps(const std::vector<std::string>& words, const KeyNames& names,
                        std::vector<UpdateStep>* steps) {
  if (words.empty() || words.size() % 3 != 0) {
    return Status::Invalid("update needs SELECTOR OP VALUE, once or more, after --");
  }
  for (std::size_t i = 0; i < words.size(); i += 3) {
    UpdateStep step;
    step.text = words[i];
    Status s = ParseSelector(words[i], names, &step.selector);
    if (!s.ok()) return Status::Invalid(words[i] + ": " + s.Message());
    static const struct {
      const char* word;
      UpdateStep::Op op;
    } kOps[] = {{"=", UpdateStep::kSet},
                {"+=", UpdateStep::kAdd},
                {"-=", UpdateStep::kSubtract},
                {"*=", UpdateStep::kMultiply},
                {"/=", UpdateStep::kDivide}};
    bool known = false;
    for (const auto& o : kOps) {
      if (words[i + 1] == o.word) step.op = o.op, known = true;
    }
    if (!known) {
      return Status::Invalid("'" + words[i + 1] + "' after " + words[i] +
                             ": expected one of = += -= *= /=");
    }
    step.value = words[i + 2];
    if (step.op != UpdateStep::kSet) {
      uint32_t bits;
      std::string why;
      if (!ParseFloatText(step.value, &bits, &why)) {
        return Status::Invalid("'" + step.value + "' after " + words[i + 1] + ": " + why);
      }
      float f;
      std::memcpy(&f, &bits, sizeof f);
      step.operand = f;
    }
    steps->push_back(std::move(step));
  }
  return Status::Ok();
}

namespace {

// The value line a step sets an entry to: its own for `=`, else the float the arithmetic gives.
// Empty, with *why, when the step cannot change the entry.
std::string NewValueText(ByteSource& source, const SelectedEntry& e, const UpdateStep& step,
                         std::string* why, Status* io) {
  if (step.op == UpdateStep::kSet) return step.value;
  if (e.type != static_cast<uint32_t>(EntryType::Float) || e.end - e.start < 4) {
    *why = "is no float: " +
           std::string(step.op == UpdateStep::kAdd        ? "+="
                       : step.op == UpdateStep::kSubtract ? "-="
                       : step.op == UpdateStep::kMultiply ? "*="
                                                          : "/=") +
           " works on floats only";
    return {};
  }
  uint8_t raw[4];
  if (!(*io = source.ReadAt(e.start, raw, 4)).ok()) return {};
  const uint32_t bits = DecodeFixed32(raw);
  float old;
  std::memcpy(&old, &bits, sizeof old);
  double result = old;
  switch (step.op) {
    case UpdateStep::kAdd:
      result += step.operand;
      break;
    case UpdateStep::kSubtract:
      result -= step.operand;
      break;
    case UpdateStep::kMultiply:
      result *= step.operand;
      break;
    default:
      result /= step.operand;
  }
  const double largest = std::numeric_limits<float>::max();
  if (!std::isfinite(result) || std::fabs(result) > largest) {
    *why = "the result leaves the float range";
    return {};
  }
  const auto rounded = static_cast<float>(result);
  if (rounded == 0 && result != 0) {
    *why = "the result is too small for a float";
    return {};
  }
  uint32_t fresh;
  std::memcpy(&fresh, &rounded, sizeof fresh);
  return FormatFloatBits(fresh);
}

// One step's changes of `source`, as the lines of a patch; counts them in *changes.
Status StepLines(ByteSource& source, int64_t length, const std::string& name,
                 const UpdateStep& step, std::size_t index, const KeyNames& names,
                 std::string* lines, int64_t* changes, UpdateOutcome* outcome) {
  return SelectEntries(source, length, step.selector, names, [&](const SelectedEntry& e) {
    ++outcome->matched[index];
    ByteSource& from = e.source != nullptr ? *e.source : source;
    std::string why;
    Status io;
    const std::string text = NewValueText(from, e, step, &why, &io);
    if (!io.ok()) return io;
    int64_t pos = 0, removed = 0;
    std::string bytes;
    if (why.empty()) {
      Status s = PlanSetValueAt(from, e.type, e.start, e.end, text, {}, &pos, &removed, &bytes);
      if (s.ioError()) return s;
      if (!s.ok()) why = s.Message();
    }
    if (!why.empty()) {
      outcome->refused.push_back(name + ": " + e.path + ": " + why);
      return Status::Ok();
    }
    std::string extent(static_cast<std::size_t>(e.end - e.start), '\0');
    Status s = from.ReadAt(e.start, extent.data(), extent.size());
    if (!s.ok()) return s;
    std::string fresh = extent;
    fresh.replace(static_cast<std::size_t>(pos - e.start), static_cast<std::size_t>(removed),
                  bytes);
    if (fresh == extent) return Status::Ok();
    Sink expected(nullptr);
    if (!(s = AppendExpectedValue(from, e.type, e.start, e.end, expected)).ok()) return s;
    PatchValue value;
    value.type = e.type;
    value.bytes = std::move(fresh);
    *lines += "set " + e.path + ": " + expected.buf() + " -> " + PatchValueText(value, true) + "\n";
    ++*changes;
    return Status::Ok();
  });
}

std::string Ended(const std::string& lines, int64_t changes) {
  return lines + "end " + std::to_string(changes) + (changes == 1 ? " change\n" : " changes\n");
}

}  // namespace

Status PlanUpdate(PositionedFile& file, int64_t length, const std::string& name,
                  const std::vector<UpdateStep>& steps, const KeyNames& names, Scratch& scratch,
                  std::string* patch, UpdateOutcome* outcome) {
  patch->clear();
  outcome->matched.resize(steps.size(), 0);
  const std::size_t refusedBefore = outcome->refused.size();
  if (steps.size() == 1) {
    std::string lines;
    int64_t changes = 0;
    Status s = StepLines(file, length, name, steps[0], 0, names, &lines, &changes, outcome);
    if (s.ok() && changes > 0 && outcome->refused.size() == refusedBefore) {
      *patch = Ended(lines, changes);
      outcome->values += changes;
    }
    return s;
  }
  ChangeTarget* copy = nullptr;
  Status s = scratch.CopyOf(file, length, &copy);
  int64_t now = length;
  for (std::size_t k = 0; s.ok() && k < steps.size(); ++k) {
    std::string lines;
    int64_t changes = 0;
    s = StepLines(copy->file, now, name, steps[k], k, names, &lines, &changes, outcome);
    if (!s.ok() || changes == 0 || outcome->refused.size() != refusedBefore) continue;
    Patch step;
    if (!(s = ParsePatch(Ended(lines, changes), names, &step)).ok()) break;
    step.name = name;
    PatchOutcome made;
    s = ApplyPatches(copy->file, now, {step}, names, copy, &made);
    if (s.ok() && !made.failures.empty()) s = Status::IoError(0, made.failures.front());
    if (s.ok()) s = copy->file.Length(&now);
  }
  if (!s.ok() || outcome->refused.size() != refusedBefore) return s;
  Sink out(nullptr);
  int64_t changes = 0;
  s = WritePatch(file, length, copy->file, now, names, out, &changes);
  if (s.ok() && changes > 0) {
    *patch = out.buf();
    outcome->values += changes;
  }
  return s;
}

}  // namespace atb
