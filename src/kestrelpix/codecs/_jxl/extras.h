// Extra channels a writer adds after the colour channels on a frame's last
// axis (black, spot colours, depth, masks, more alphas): their description
// from the caller, their records for libjxl, and the split of an
// interleaved frame into the colour part and one plane per extra channel.
#pragma once

#include <jxl/encode.h>

#include <cstdint>
#include <string>
#include <vector>

#include "py.h"

namespace kp {

struct ExtraChannelSpec {
  JxlExtraChannelType type = JXL_CHANNEL_OPTIONAL;
  std::string name;
  uint32_t bits = 0;  // 0: the frame's own
  bool premultiplied = false;
  float spot[4] = {0, 0, 0, 0};
};

// Parses the writer's `extra_channels` (None, or a list of type names or
// dicts). Returns 0, or -1 with ValueError/TypeError set.
int parse_extra_channels(PyObject* obj, std::vector<ExtraChannelSpec>* out);

// Describes the extra channels to the encoder (after JxlEncoderSetBasicInfo).
// Returns the failed call's name or null; `*status` is libjxl's status.
// The most extra channels libjxl's encoder takes (JxlEncoderSetBasicInfo
// refuses more), and the largest spot colour value (stored as a 16-bit float).
inline constexpr int kMaxExtraChannels = 256;
inline constexpr int kMaxSpotColorValue = 65504;

// ValueError when a channel's bits_per_sample does not fit frames of `bits`
// bits (integer frames: 1 to 8 with uint8, 9 to 16 with uint16). Returns 0
// or -1.
int check_extra_channel_bits(const std::vector<ExtraChannelSpec>& specs, uint32_t bits,
                             uint32_t exponent_bits);

const char* set_extra_channel_infos(JxlEncoder* enc, const std::vector<ExtraChannelSpec>& specs,
                                    uint32_t bits, uint32_t exponent_bits,
                                    JxlEncoderStatus* status);

// For integer frames (`item` 1 or 2 bytes): every extra channel declared
// narrower than the dtype must hold values its bits can express, since
// libjxl would clamp the others, lossless or not. Returns 0, or -1 with
// ValueError set.
int check_extra_ranges(const void* pixels, size_t pixel_count, size_t samples, size_t color,
                       size_t item, const std::vector<ExtraChannelSpec>& specs);

// The colour part and the extra planes of one interleaved frame, split
// without the interpreter lock.
struct SplitFrame {
  std::vector<uint8_t> color;
  std::vector<std::vector<uint8_t>> planes;
};

// Splits `pixels` (samples interleaved, `color` of them colour) into `out`;
// false when memory runs out.
bool split_frame(const void* pixels, size_t pixel_count, size_t samples, size_t color,
                 size_t item, SplitFrame* out) noexcept;

}  // namespace kp
