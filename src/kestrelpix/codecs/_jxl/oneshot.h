// The one-call functions: encode, decode and frame_count.
#pragma once

#include "py.h"

namespace kp {

// Binds encode, decode and frame_count in the module, in that order.
int add_oneshot_functions(PyObject* module);

}  // namespace kp
