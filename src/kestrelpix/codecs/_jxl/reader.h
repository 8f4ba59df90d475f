// JxlReader: the streaming decoder type.
#pragma once

#include "py.h"

namespace kp {

// Creates the JxlReader type and binds it in the module.
int add_reader_type(PyObject* module);

}  // namespace kp
