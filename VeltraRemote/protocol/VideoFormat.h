#pragma once

#include "support/Bytes.h"

namespace veltra {

// The H.264 parameter sets of the encoder's current output, sent before every key frame. Each set
// is one NAL unit without start code or length prefix; in JSON it is standard padded Base64.
struct VideoFormat {
  Bytes sps;
  Bytes pps;
  int width = 0;
  int height = 0;

  Bytes encodeJson() const;
  // Throws JsonError on a missing key, a wrong type, an integer outside int or a parameter set
  // that is not strict standard Base64.
  static VideoFormat decodeJson(ByteView json);
};

}  // namespace veltra
