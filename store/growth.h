// Measuring a text in the open file.
#pragma once

#include <cstdint>

#include "store/atb_file.h"

namespace atb {

// The stored length of the Text value at `offset`: the bytes up to and including its first
// zero byte, looked for no further than `endOffset`, the end of the value's extent. *length is
// 0 when the extent holds no zero byte. Reads in blocks. On return the position is at offset.
Status MeasureText(AtbFile& file, int64_t offset, int64_t endOffset, int64_t* length);

}  // namespace atb
