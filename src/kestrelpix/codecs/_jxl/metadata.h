// What a writer records beside the pixels: animation timing (ticks per
// second, loop count, each frame's duration and name), the orientation, an
// embedded ICC profile and the Exif, XMP and JUMBF boxes.
#pragma once

#include <jxl/encode.h>

#include <cstdint>
#include <string>

#include "py.h"

namespace kp {

struct WriterMetadata {
  uint32_t loops = 0;
  uint32_t tps_numerator = 0;  // 0: not given, chosen at the first frame
  uint32_t tps_denominator = 0;
  uint32_t orientation = 1;
  bool have_exif = false, have_xmp = false, have_jumbf = false, have_icc = false;
  std::string exif;   // the "Exif" box contents: a zero offset, then the TIFF data
  std::string xmp;
  std::string jumbf;
  std::string icc;
  bool compress_boxes = false;

  bool any_box() const noexcept { return have_exif || have_xmp || have_jumbf; }

  // Checks and keeps the writer's metadata options. Returns 0, or -1 with
  // ValueError or TypeError set.
  int parse(PyObject* loops_obj, PyObject* tps_obj, PyObject* exif_obj, PyObject* xmp_obj,
            PyObject* jumbf_obj, PyObject* orientation_obj, PyObject* icc_obj,
            PyObject* compress_obj, bool animation, bool color_given);

  // Adds the boxes to an encoder set up for them (the container is on).
  // Returns the failed call's name, or null when all went well; `*status`
  // is libjxl's status.
  const char* add_boxes(JxlEncoder* enc, JxlEncoderStatus* status) const;
};

// A frame's duration in milliseconds as ticks at `numerator/denominator`
// ticks per second: a whole number of ticks or ValueError. Returns 0, or -1
// with an error set.
int duration_to_ticks(PyObject* duration, uint32_t numerator, uint32_t denominator,
                      uint32_t* ticks);

// A frame name: str, at most 1071 bytes of UTF-8. Returns 0, or -1 with an
// error set.
int frame_name_bytes(PyObject* name, std::string* out);

}  // namespace kp
