// JxlWriter: the streaming encoder type.
#pragma once

#include "py.h"

namespace kp {

// Creates the JxlWriter type and binds it in the module.
int add_writer_type(PyObject* module);

}  // namespace kp
