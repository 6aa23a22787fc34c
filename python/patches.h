// diff, apply, merge, conflicts and combine over files and folders, as atbutil makes them.
#pragma once

#include <pybind11/pybind11.h>

namespace atbpy {

void AddPatchFunctions(pybind11::module_& m);

}  // namespace atbpy
