#include "tests/random_files.h"

#include <algorithm>
#include <vector>

namespace atb::build {

Table RandomTable(Random& r, int depth) {
  Table t;
  if (r.OneIn(6)) t.lead = r.Word(3);
  std::vector<uint32_t> keys;
  for (int i = r.Below(depth == 0 ? 8 : 5); i > 0; --i) {
    keys.push_back(r.OneIn(8) ? 0x80000000u + static_cast<uint32_t>(r.Below(4))
                              : static_cast<uint32_t>(r.Below(12)));
  }
  std::sort(keys.begin(), keys.end());
  for (uint32_t key : keys) {
    switch (r.Below(depth < 3 ? 7 : 6)) {
      case 0:
        if (r.OneIn(4)) {  // any bits: NaNs with payloads, infinities, subnormals
          t.entries.push_back({key, 0,
                               U32(static_cast<uint32_t>(r.Below(1 << 16)) << 16 |
                                   static_cast<uint32_t>(r.Below(1 << 16)))});
        } else {
          t.entries.push_back(FloatEntry(key, static_cast<float>(r.Below(100)) / 4));
        }
        break;
      case 1:
        t.entries.push_back(BoolEntry(key, static_cast<uint8_t>(r.Below(3))));
        break;
      case 2:
      case 3:
        t.entries.push_back(
            TextEntry(key, r.OneIn(4) ? r.Bytes(6) : r.Word(6), r.OneIn(3) ? r.Word(3) : ""));
        break;
      case 4:
        if (r.OneIn(3)) {  // any units: controls, lone surrogates
          std::u16string units;
          for (int k = r.Below(5); k > 0; --k) {
            units.push_back(static_cast<char16_t>(1 + r.Below(0xFFFF)));
          }
          t.entries.push_back(WideEntry(key, units));
        } else {
          t.entries.push_back(WideEntry(key, u"wide"));
        }
        break;
      case 5:
        t.entries.push_back({key, static_cast<uint32_t>(r.OneIn(2) ? 7 : 1), r.Word(3)});
        break;
      default: {
        Table nested = RandomTable(r, depth + 1);
        if (r.OneIn(2)) nested.entries.push_back(NameEntry(r.Word(5)));
        t.entries.push_back(RefEntry(key, nested));
      }
    }
  }
  return t;
}

Bytes RandomFile(Random& r) {
  Bytes file = EncodeFile(RandomTable(r, 0));
  if (r.OneIn(4)) {
    for (int k = r.Below(3) + 1; k > 0; --k) {
      file[static_cast<std::size_t>(52 + r.Below(static_cast<int>(file.size()) - 52))] =
          static_cast<char>(r.Below(256));
    }
  }
  return file;
}

}  // namespace atb::build
