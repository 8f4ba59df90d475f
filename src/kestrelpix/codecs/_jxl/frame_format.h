// The sample types a frame comes in: NumPy's dtype, libjxl's data type, the
// size of one sample and the bits it carries, in one table that the reader,
// the writer, probe and the extra channels all read.
#pragma once

#include <jxl/codestream_header.h>
#include <jxl/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "py.h"

namespace kp {

struct FrameFormat {
  const char* numpy_name;  // the name of NumPy's scalar type
  int typenum;             // NumPy's type number
  JxlDataType data_type;
  size_t item_size;        // bytes per sample
  uint32_t bits;           // what a writer declares for this type
  uint32_t exponent_bits;
};

// The bytes of one sample of libjxl's data type.
size_t sample_size(JxlDataType type) noexcept;

// The format samples of `bits` (and `exponent_bits`, 0 for integers) are
// delivered in: integers up to 8 bits as uint8, up to 16 as uint16, wider
// ones as float32; floats of 16 bits as float16, of 32 as float32. Null
// with ValueError for another float width.
const FrameFormat* format_for_samples(uint32_t bits, uint32_t exponent_bits);

// The format of a NumPy dtype in native byte order, or null with
// ValueError naming the dtypes an encoder takes.
const FrameFormat* format_for_dtype(PyObject* descr);

// NumPy's scalar type of the format (new reference).
Ref scalar_type(const FrameFormat& format);

// The bit depth a decoder delivers integer samples at: their own range in
// the codestream (10-bit samples stay below 1024); floats as the pixel
// format says.
JxlBitDepth output_bit_depth(const FrameFormat& format) noexcept;

// Whether the channels are L, LA, RGB or RGBA: one or three colour channels
// and, besides, at most one extra channel, the alpha.
bool is_simple_layout(const JxlBasicInfo& info) noexcept;

// The bits (and exponent bits) of a sample type wide enough for the colour
// and every extra channel: float16 only when every channel fits it
// (integers up to 11 bits fit its mantissa), else float32 once any channel
// is float; the widest integer otherwise.
void widest_samples(const JxlBasicInfo& info, const std::vector<JxlExtraChannelInfo>& extras,
                    uint32_t* bits, uint32_t* exponent_bits) noexcept;

}  // namespace kp
