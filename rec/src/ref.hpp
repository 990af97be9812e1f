// The old name of the shared owning reference, for code written against it: tiderec::ref is
// ov::object of the toolbox every native module shares (ov/core.hpp).
#pragma once

#include "ov/core.hpp"

namespace tiderec {

using ref = ov::object;

}  // namespace tiderec
