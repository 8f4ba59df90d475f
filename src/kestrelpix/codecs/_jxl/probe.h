// probe(): a stream's header, colour, timing, frames and metadata boxes at
// parse cost.
#pragma once

#include "py.h"

namespace kp {

// Binds probe in the module. Returns 0, or -1 with an error set.
int add_probe_function(PyObject* module);

}  // namespace kp
