// Colour specs as libjxl colour encodings: each value converted and checked
// against what libjxl can write. Each returns 0, or -1 with an error set.
#pragma once

#include <jxl/color_encoding.h>

#include "py.h"

namespace kp {

// A colour-spec value as a libjxl enumeration (JxlWhitePoint, JxlPrimaries,
// JxlTransferFunction or JxlRenderingIntent): integers only, range-checked
// against the enumeration's own underlying type, and one of its enumerators.
template <class E>
int to_enum(PyObject* value, const char* enum_name, E* out);

// Reads `spec.<attr>` and converts it with to_enum.
template <class E>
int enum_attr(PyObject* spec, const char* attr, const char* enum_name, E* out);

// The colour spec's optional `is_hdr`: a missing attribute counts as false.
// 1, 0, or -1 with an error set.
int spec_is_hdr(PyObject* spec);

// libjxl asserts (taking the interpreter down) on colour enumerations it
// cannot write, so a spec is checked against what it can before it sees it:
// the enumerated white points, primaries and transfer functions (custom
// chromaticities need values a spec does not carry), and a power law's
// exponent in (0, 1].
int check_color_encoding(const JxlColorEncoding& c);

}  // namespace kp
