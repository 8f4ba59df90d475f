// The preview image a stream may carry before its frames.
#pragma once

#include "py.h"

namespace kp {

// Decodes the preview image of any source (see input.h) in the stream's
// sample type: (Y, X) for grey, else (Y, X, C) with the alpha, if any, last;
// the stored orientation applied unless `keep_orientation`. A new array, or
// null with JxlError when the stream has none (or it cannot be decoded).
PyObject* decode_preview(PyObject* data, bool keep_orientation);

}  // namespace kp
