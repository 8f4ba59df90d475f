// transcode_jpeg and reconstruct_jpeg: a JPEG file's coefficients carried
// into JPEG XL losslessly, and the original file rebuilt from such a stream.
#pragma once

#include "py.h"

namespace kp {

// Binds transcode_jpeg and reconstruct_jpeg in the module. Returns 0, or -1
// with an error set.
int add_jpeg_functions(PyObject* module);

}  // namespace kp
