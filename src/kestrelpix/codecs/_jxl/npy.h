// NumPy's C interface, shared by every source file of the module. module.cc
// defines KP_IMPORT_ARRAY to own the API table; the others only use it.
#pragma once

#include "py.h"

#define PY_ARRAY_UNIQUE_SYMBOL kestrelpix_jxl_ARRAY_API
#ifndef KP_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
