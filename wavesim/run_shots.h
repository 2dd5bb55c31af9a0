// The driver's header under the name the binding includes; shots_driver.h
// holds it, and this file goes once module.cc includes that directly.
#pragma once

#include "shots_driver.h"
