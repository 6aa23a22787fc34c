#include "python/patches.h"

namespace atbpy {

void AddPatchFunctions(pybind11::module_&) {}

}  // namespace atbpy
