#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "codec/RemoteFrame.h"
#include "protocol/VideoFormat.h"
#include "support/Bytes.h"

namespace veltra {

// Turns the host's H.264 stream into RemoteFrames: configured from a videoFormat (SPS, PPS and
// size), then fed one videoFrame payload (one access unit of NAL units, each behind a 4-byte
// big-endian length) at a time. FFmpeg's h264 decoder does the work, on a VA-API, VDPAU or CUDA
// device when one opens, otherwise in software with slice threads.
//
// THREADING: not thread-safe and keeps no queue of its own. The client calls configure(),
// decode() and stop() from its serial decode queue, in packet order. onFrame and onFailure run
// synchronously inside decode(), on that same queue, before decode() returns; set them before
// the first configure(). They may call stop() or configure() (the running decode() then returns
// after the current picture) but must not destroy the decoder.
//
// Every picture comes out of the decode() call that fed its access unit: low delay and slice
// threads only, so nothing is held back for pipelining, and the host sends no B-frames to
// reorder.
class VideoDecoder {
 public:
  enum class Acceleration {
    automatic,     // a hardware device if one opens, else software
    softwareOnly,  // never probes devices (benchmarks, comparisons)
  };

  explicit VideoDecoder(Acceleration acceleration = Acceleration::automatic);
  // Safe at any time except from inside its own callbacks: ends the session without delivering
  // anything more. Frames already handed out stay valid.
  ~VideoDecoder();

  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // Builds the decoder for `format`, or keeps the running one when its SPS and PPS are byte for
  // byte those of the format it was built from (the host repeats the format before every key
  // frame; the size is not compared). Throws RemoteError:
  //  - invalidPacket if a side is outside 1…4096 or a parameter set is empty or longer than
  //    4095 bytes; nothing changes.
  //  - unavailable "Invalid video format (status)." if the parameter sets are not an SPS (of at
  //    least 4 bytes) and a PPS, or FFmpeg's parser refuses them even with its error
  //    recognition at its strictest; the old session is gone by then. (What that parser
  //    tolerates, such as an SPS cut short in its optional tail, passes here; a stream that it
  //    cannot describe fails at its first frame.)
  //  - unavailable "Hardware decoder unavailable (status)." if no decoder at all, hardware or
  //    software, opens with them.
  // status is the FFmpeg error code in signed decimal.
  void configure(const VideoFormat& format);

  // Decodes one videoFrame payload and delivers its pictures to onFrame (dropped when unset).
  // Throws RemoteError: unavailable "Video frame arrived before format." without a configured
  // session; invalidPacket for an empty payload; unavailable "Video decode failed (status)." when
  // FFmpeg refuses the access unit (corrupt data, NAL lengths that overrun the payload).
  // A picture that cannot be handed out (an error FFmpeg reports on output, a failed transfer
  // from the device, a layout or size the view cannot draw: AVERROR(ENOTSUP)) goes to onFailure
  // as "Video decode callback failed: status". An access unit that yields no picture is no
  // failure: P frames whose key frame never arrived (a host may drop one) give none until the next
  // key frame, and that must not end the session.
  void decode(ByteView payload);

  // Ends the session and forgets the format; the callbacks stay, so configure() may follow.
  // Pictures that FFmpeg still held are dropped (with low delay there are none).
  void stop();

  // "h264" or "h264 (vaapi)" and the like, for status lines and tests; empty without a session.
  std::string decoderName() const;
  // Whether the session decodes on a hardware device. Until the first picture this is whether a
  // device is attached; it turns false if FFmpeg then finds the stream beyond the device.
  bool isHardware() const;

  std::function<void(std::shared_ptr<const RemoteFrame>)> onFrame;
  std::function<void(std::string)> onFailure;

 private:
  struct Session;
  struct Device;

  void drain(Session& session);
  void fail(int status);

  Acceleration acceleration_;
  // Probed on the first configure() and kept for the decoder's life: opening a device costs far
  // more than a session, and formats change at every resolution switch.
  std::unique_ptr<Device> device_;
  bool deviceProbed_ = false;
  // Shared so that a decode() in progress keeps its session alive if a callback stops it.
  std::shared_ptr<Session> session_;
  // The format the running session was built from; present exactly while session_ is.
  std::optional<VideoFormat> lastFormat_;
};

}  // namespace veltra
