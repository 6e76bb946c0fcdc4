#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "codec/H264Session.h"
#include "codec/LinkRate.h"
#include "codec/PictureEncoder.h"
#include "protocol/PacketSender.h"
#include "protocol/RemoteConfiguration.h"
#include "support/SerialQueue.h"

namespace veltra {

// Turns the captured pictures of one session into the H.264 stream on its connection: a
// videoFormat packet (SPS, PPS and the configured size) before every key frame, and one
// videoFrame packet (4-byte length-prefixed NAL units, parameter sets left out) per picture. It
// also does the host's flow control: at most one picture is in the encoder or on its way to the
// transport, and none is taken while three frames are unacknowledged. Pictures that cannot be
// taken are dropped, never queued: latency matters more than completeness. The bit rate follows
// what the link carries (LinkRate), never above the rate the session opened with.
//
// THREADING: encode() and stop() run on the capture queue, acknowledgeFrame() on the main
// thread; the accessors on any thread. Encoding, the output step and every send run on the
// encoder's own queue (thread "veltra.encode"), which is also where onFailure is called. The
// flow-control fields are guarded by one mutex, never held across a call into the encoder or
// the sender; the H264Session is touched on the encoder queue only.
//
// LIFETIME: one encoder per session, never restarted. Destroying it is safe at any time from
// any thread but its own queue (so not from inside onFailure): a picture already taken is
// finished and sent, then the encoder is released without draining; a send completion that
// runs later finds the encoder gone and does nothing.
class VideoEncoder final : public PictureEncoder {
 public:
  using Options = H264SessionOptions;

  // Opens the encoder (see openH264Session for the choice and the errors it throws) on the
  // encoder's queue, so that the threads the encoder starts carry that queue's name.
  VideoEncoder(RemoteConfiguration configuration, std::shared_ptr<PacketSender> sender,
               const Options& options = {});
  // Around a given session: tests use it with a scripted fake.
  VideoEncoder(RemoteConfiguration configuration, std::shared_ptr<PacketSender> sender,
               std::unique_ptr<H264Session> session);
  ~VideoEncoder() override;

  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Takes `picture` (NV12, the configured size) for encoding, or drops it while a picture is
  // pending, three frames are unacknowledged or the encoder is stopped. Returns at once; true
  // when taken. `presentationTime` is in microseconds of a monotonic clock. Capture queue.
  bool encode(ScreenPicture picture, int64_t presentationTime) override;
  // Whether encode() would take a picture now. Capture queue.
  bool ready() const override;
  // A picture is in the encoder or its frame on its way to the transport. Capture queue.
  bool busy() const override;
  // Drops every later picture, then drains and releases the encoder; what the encoder still
  // held goes out through the output step before this returns. Nothing is sent afterwards.
  // Capture queue; a second call does nothing.
  void stop() override;
  // One frameAck from the client: unacknowledged = max(unacknowledged - 1, 0). Main thread.
  void acknowledgeFrame() override;

  const std::string& encoderName() const { return name_; }
  std::string name() const override { return name_; }
  // The rate the session opened with: the most it aims at.
  int64_t bitRate() const { return bitRate_; }
  // The rate it aims at now. Any thread.
  int64_t targetBitRate() const;
  int keyFrameInterval() const { return keyFrameInterval_; }
  int unacknowledged() const;

 private:
  // Shared with send completions, which hold it weakly: they may run after the encoder is gone.
  struct FlowControl {
    std::mutex mutex;
    bool pending = false;    // a picture is in the encoder or its videoFrame is being sent
    int unacknowledged = 0;  // videoFrames sent and not yet acknowledged, never below 0
    bool stopped = false;
    std::optional<LinkRate> rate;  // set by the constructor
    void clearPending();
    // Whether a picture may be taken now; a refusal for a full window is noted. With the mutex
    // held.
    bool takes(LinkRate::Clock::time_point now);
  };

  // Encoder queue only.
  void encodeOnQueue(const ScreenPicture& picture, int64_t presentationTime);
  bool drainOutputs();
  bool output(const H264Session::Packet& packet);
  void fail(const std::string& text);

  const RemoteConfiguration configuration_;
  const std::shared_ptr<PacketSender> sender_;
  const std::shared_ptr<FlowControl> flow_;
  std::unique_ptr<H264Session> session_;  // encoder queue only; cleared by stop()
  int64_t appliedBitRate_ = 0;            // encoder queue only
  // Set once by the constructor.
  std::string name_;
  int64_t bitRate_ = 0;
  int keyFrameInterval_ = 0;
  // Last member: destroyed first, so its thread is joined before anything it uses goes away.
  SerialQueue queue_;
};

}  // namespace veltra
