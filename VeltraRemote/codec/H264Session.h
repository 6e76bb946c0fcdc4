#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "codec/VideoPicture.h"
#include "protocol/RemoteConfiguration.h"
#include "support/Bytes.h"

namespace veltra {

// The H.264 encoder under VideoEncoder: FFmpeg's in production (openH264Session), a scripted
// fake in tests, so that the output step's drop rules are tested without a real encoder
// misbehaving on cue. Statuses are FFmpeg's: 0 or a negative AVERROR code.
//
// THREADING: not thread-safe; VideoEncoder calls it from its encoder queue only.
class H264Session {
 public:
  // One encoded access unit in Annex B form. `data` stays valid until the next call.
  struct Packet {
    ByteView data;
    bool key = false;
  };

  virtual ~H264Session() = default;

  // Submits one picture. `presentationTime` is in microseconds of a monotonic clock.
  virtual int send(const VideoPicture& picture, int64_t presentationTime) = 0;
  // Tells the encoder that no more pictures come, so that it releases what it holds.
  virtual int flush() = 0;
  // 1 with `packet` filled; 0 when nothing is ready (or, after flush(), nothing is left); a
  // negative status when the encoder failed.
  virtual int receive(Packet& packet) = 0;
  // Parameter sets the encoder gives out of band, in Annex B form; often empty.
  virtual ByteView extradata() const = 0;

  // Aims the pictures sent from now on at `bitRate` (the link's pace, at most the rate the session
  // opened with). An encoder that cannot change its rate while open keeps the one it has.
  virtual void setBitRate(int64_t /*bitRate*/) {}

  virtual std::string name() const = 0;
  virtual int64_t bitRate() const = 0;
  virtual int keyFrameInterval() const = 0;
};

struct H264SessionOptions {
  // FFmpeg encoder names, tried in this order: hardware first, then software.
  std::vector<std::string> candidates = {"h264_nvenc", "h264_vaapi", "libx264"};
  // Test and benchmark hook: more options (name, value) set on the encoder after ours, through
  // av_opt_set on the codec context and its private options.
  std::vector<std::pair<std::string, std::string>> extraOptions;
};

// 20,000,000 bit/s for 1920-wide streams, 35,000,000 otherwise (2560 is the only other width a
// valid configuration has).
int64_t h264BitRate(const RemoteConfiguration& configuration);

// Opens the first candidate that works, configured for low-latency streaming at
// `configuration`'s size and rate. Candidates are tried in order:
//  - one that this FFmpeg does not have (or that is not an H.264 encoder), or whose hardware
//    device cannot be created, is passed over;
//  - one that does not open is passed over too, unless it is the last candidate: the last one
//    is the encoder of last resort, and its failing to open is an error of its own;
//  - an option that any candidate rejects is an error at once, even for a candidate that would
//    be passed over later: it means our settings do not fit this FFmpeg build.
// Throws RemoteError::unavailable with
//  - "Encoder configuration failed (" + option + ": " + status + ")." for a rejected option;
//  - "Unable to prepare encoder." when the last candidate is present but does not open, or
//    for a configuration without a positive size and rate;
//  - "Hardware H.264 encoder unavailable (" + status + ")." when every candidate was passed
//    over, with the status of the last one (AVERROR_ENCODER_NOT_FOUND for an empty list).
// The texts are fixed: the status line shows them and failure packets carry them to the peer.
// "Hardware" stays in the first one even when libx264 was among the candidates.
std::unique_ptr<H264Session> openH264Session(const RemoteConfiguration& configuration,
                                             const H264SessionOptions& options = {});

}  // namespace veltra
