// Included by fuzz targets that change files: flushing is proven on simulated disks (the
// power-loss tests), and here it would only slow the search down.
#pragma once

#include "change/open.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  atb::SetDurableChanges(false);
  return 0;
}
