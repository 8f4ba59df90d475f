// The header facts a stream tells, as the Python dicts JxlReader and probe
// both give out.
#pragma once

#include <jxl/decode.h>

#include <string>
#include <vector>

#include "py.h"

namespace kp {

// Header facts as new Python dicts (null with an error set on failure):
// JxlReader.basic_info, .color, .animation (None for a still), and the
// facts of one frame (duration, duration_ms, timecode, name, is_last; with
// `with_layer` also the layer's x0, y0, xsize, ysize).
Ref basic_info_dict(const JxlBasicInfo& b);
Ref color_dict(const JxlColorEncoding& c);
Ref animation_dict(const JxlBasicInfo& b);
Ref frame_info_dict(const JxlBasicInfo& b, const JxlFrameHeader& h, const std::string& name,
                    bool with_layer);
// One dict per extra channel, in stream order; `infos` receives libjxl's
// records.
Ref extra_channels_list(JxlDecoder* dec, const JxlBasicInfo& b,
                        std::vector<JxlExtraChannelInfo>* infos);

}  // namespace kp
