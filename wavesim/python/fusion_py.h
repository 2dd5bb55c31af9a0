// The `fusion` keyword of every simulating entry: 0, a fused gate's largest
// size (2 to 4), or the string "auto" for the fast setting. Binding code.
#pragma once

#include <pybind11/pybind11.h>

namespace wavesim {

// The setting `value` names (kFusionAuto for "auto"); refuses anything else
// with ValueError (a number or string outside the settings) or TypeError.
int fusion_setting(pybind11::handle value);

}  // namespace wavesim
