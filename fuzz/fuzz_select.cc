// Selectors from the fuzzer against a fixed file: nothing crashes, a selector either parses or
// is refused at a byte of it, matches come once each in dump's order, and every match's path,
// read back as a path, names that very entry. The input is the selector's text.
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "text/paths.h"
#include "text/select.h"

using namespace atb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const KeyNames names;
  static const build::Bytes file = fuzz::SelectTarget();
  const std::string text(reinterpret_cast<const char*>(data), size);
  Selector selector;
  Status s = ParseSelector(text, names, &selector);
  if (!s.ok()) {
    if (!s.invalid() || s.Message().rfind("at byte ", 0) != 0)
      fuzz::Fail("a refusal without its byte");
    return 0;
  }
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  const auto length = static_cast<int64_t>(file.size());
  PathResolver resolver(source, length, names);
  for (const bool below : {false, true}) {
    selector.below = below;
    uint64_t last = 0;
    s = SelectEntries(source, length, selector, names, [&](const SelectedEntry& e) {
      if (e.number <= last) fuzz::Fail("a match out of dump's order, or twice");
      last = e.number;
      std::vector<PathElement> elements;
      std::vector<PathStep> chain;
      if (!ParsePath(e.path, &elements).ok()) fuzz::Fail("a match's path does not parse");
      if (!resolver.Resolve(elements, &chain).ok()) fuzz::Fail("a match's path names nothing");
      const PathStep& step = chain.back();
      if (step.list->ExtentStart(step.entry) != e.start ||
          step.list->ExtentEnd(step.entry) != e.end || step.list->Type[step.entry] != e.type) {
        fuzz::Fail("a match's path names another entry");
      }
      return Status::Ok();
    });
    if (!s.ok()) fuzz::Fail("the search of a sound file failed");
  }
  return 0;
}
