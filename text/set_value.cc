#include "text/set_value.h"

#include "store/text_end.h"
#include "text/value_text.h"

namespace atb {

Status PlanSetValue(ByteSource& file, const EntryList& list, uint32_t i, std::string_view text,
                    const std::string& where, int64_t* pos, int64_t* removed, std::string* bytes) {
  return PlanSetValueAt(file, list.Type[i], list.ExtentStart(i), list.ExtentEnd(i), text, where,
                        pos, removed, bytes);
}

Status PlanSetValueAt(ByteSource& file, uint32_t type, int64_t start, int64_t end,
                      std::string_view text, const std::string& where, int64_t* pos,
                      int64_t* removed, std::string* bytes) {
  ParsedValue value;
  if (Status s = ParseValue(text, type, &value); !s.ok()) return s.In(where);
  *pos = start;
  *bytes = std::move(value.bytes);
  const auto kind = static_cast<EntryType>(type);
  const bool resizable = kind == EntryType::Text || kind == EntryType::LocalizedText;
  if (value.whole) {
    *removed = end - start;
  } else if (resizable) {
    // The old value up to its zero; what followed it in the extent stays behind the new one.
    const int unit = kind == EntryType::Text ? 1 : 2;
    int64_t zero;
    Status s = FindZero(file, start, end, unit, &zero);
    // A read that fails, whatever its kind: set cannot go on.
    if (!s.ok()) return s.ioError() ? s : Status::IoError(s.err(), s.Message());
    *removed = zero < 0 ? end - start : zero + unit - start;
  } else {
    *removed = static_cast<int64_t>(bytes->size());
  }
  if ((!resizable && *removed != static_cast<int64_t>(bytes->size())) || *pos + *removed > end) {
    return Status::Refused("the entry's extent of " + std::to_string(end - start) +
                           " bytes cannot hold that value")
        .In(where);
  }
  return Status::Ok();
}

}  // namespace atb
