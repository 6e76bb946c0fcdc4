#include "codec/VideoEncoder.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

#include "codec/H264NalUnits.h"
#include "protocol/PacketFramer.h"
#include "protocol/VideoFormat.h"

namespace veltra {
namespace {

// The framer's limit less room for the packet type and the sealing, as every implementation of
// the protocol keeps it.
constexpr size_t kMaximumFrameSize = PacketFramer::maximumSize - 101;

// More than this many unacknowledged frames and pictures are dropped.
constexpr int kMaximumUnacknowledged = 2;

std::optional<ByteView> findNal(std::span<const ByteView> nals, uint8_t type) {
  for (ByteView nal : nals) {
    if (h264::nalType(nal) == type) return nal;
  }
  return std::nullopt;
}

}  // namespace

void VideoEncoder::FlowControl::clearPending() {
  std::lock_guard lock(mutex);
  pending = false;
}

VideoEncoder::VideoEncoder(RemoteConfiguration configuration, std::shared_ptr<PacketSender> sender,
                           const Options& options)
    : configuration_(configuration),
      sender_(std::move(sender)),
      flow_(std::make_shared<FlowControl>()),
      queue_("veltra.encode") {
  // Encoders start their worker threads when opened, and threads inherit their creator's name.
  std::exception_ptr error;
  queue_.runSync([&] {
    try {
      session_ = openH264Session(configuration_, options);
    } catch (...) {
      error = std::current_exception();
    }
  });
  if (error) std::rethrow_exception(error);
  name_ = session_->name();
  bitRate_ = appliedBitRate_ = session_->bitRate();
  keyFrameInterval_ = session_->keyFrameInterval();
  flow_->rate.emplace(bitRate_);
}

VideoEncoder::VideoEncoder(RemoteConfiguration configuration, std::shared_ptr<PacketSender> sender,
                           std::unique_ptr<H264Session> session)
    : configuration_(configuration),
      sender_(std::move(sender)),
      flow_(std::make_shared<FlowControl>()),
      session_(std::move(session)),
      name_(session_->name()),
      bitRate_(session_->bitRate()),
      keyFrameInterval_(session_->keyFrameInterval()),
      queue_("veltra.encode") {
  appliedBitRate_ = bitRate_;
  flow_->rate.emplace(bitRate_);
}

VideoEncoder::~VideoEncoder() {
  {
    std::lock_guard lock(flow_->mutex);
    flow_->stopped = true;
  }
  // Pictures already posted run first (and may still send); then the encoder goes.
  queue_.runSync([this] { session_.reset(); });
}

bool VideoEncoder::FlowControl::takes(LinkRate::Clock::time_point now) {
  if (pending || stopped) return false;
  if (unacknowledged <= kMaximumUnacknowledged) return true;
  rate->windowFull(now);
  return false;
}

bool VideoEncoder::ready() const {
  std::lock_guard lock(flow_->mutex);
  return flow_->takes(LinkRate::Clock::now());
}

bool VideoEncoder::busy() const {
  std::lock_guard lock(flow_->mutex);
  return flow_->pending && !flow_->stopped;
}

bool VideoEncoder::encode(ScreenPicture picture, int64_t presentationTime) {
  {
    std::lock_guard lock(flow_->mutex);
    if (!flow_->takes(LinkRate::Clock::now())) return false;
    flow_->pending = true;
  }
  queue_.post([this, picture = std::move(picture), presentationTime] {
    encodeOnQueue(picture, presentationTime);
  });
  return true;
}

void VideoEncoder::stop() {
  {
    std::lock_guard lock(flow_->mutex);
    flow_->stopped = true;
  }
  queue_.runSync([this] {
    if (!session_) return;
    if (session_->flush() >= 0) drainOutputs();
    session_.reset();
  });
}

void VideoEncoder::acknowledgeFrame() {
  std::lock_guard lock(flow_->mutex);
  flow_->unacknowledged = std::max(flow_->unacknowledged - 1, 0);
  flow_->rate->acknowledged(LinkRate::Clock::now());
}

int64_t VideoEncoder::targetBitRate() const {
  std::lock_guard lock(flow_->mutex);
  return flow_->rate->target(LinkRate::Clock::now());
}

int VideoEncoder::unacknowledged() const {
  std::lock_guard lock(flow_->mutex);
  return flow_->unacknowledged;
}

void VideoEncoder::encodeOnQueue(const ScreenPicture& picture, int64_t presentationTime) {
  // stop() may have released the encoder after this picture was taken.
  if (!session_) {
    flow_->clearPending();
    return;
  }
  if (const int64_t target = targetBitRate(); target != appliedBitRate_) {
    session_->setBitRate(target);
    appliedBitRate_ = target;
  }
  // The frame shares the picture's planes: wrapping copies no pixels.
  const int status = session_->send(VideoPicture::wrap(picture), presentationTime);
  if (status < 0) {
    flow_->clearPending();
    fail("Encoding failed: " + std::to_string(status));
    return;
  }
  // A sent videoFrame clears `pending` when its send completes. Without one (the picture was
  // given up, or an encoder held it back to release it later) the next picture may come now:
  // waiting would stall the stream for good.
  if (!drainOutputs()) flow_->clearPending();
}

bool VideoEncoder::drainOutputs() {
  bool sentFrame = false;
  for (;;) {
    H264Session::Packet packet;
    const int status = session_->receive(packet);
    if (status == 0) break;
    if (status < 0) {
      fail("Video encoder failed: " + std::to_string(status));
      break;
    }
    sentFrame = output(packet) || sentFrame;
  }
  return sentFrame;
}

// The output step: one access unit becomes an optional videoFormat and a videoFrame. Returns
// false when the unit was dropped.
bool VideoEncoder::output(const H264Session::Packet& packet) {
  const std::vector<ByteView> nals = h264::splitAnnexB(packet.data);
  if (packet.key) {
    // In-band parameter sets first: they are the ones this key frame was coded with.
    std::optional<ByteView> sps = findNal(nals, h264::kSequenceParameterSet);
    std::optional<ByteView> pps = findNal(nals, h264::kPictureParameterSet);
    if (!sps || !pps) {
      const std::vector<ByteView> header = h264::splitAnnexB(session_->extradata());
      sps = findNal(header, h264::kSequenceParameterSet);
      pps = findNal(header, h264::kPictureParameterSet);
    }
    if (!sps || !pps) return false;
    const VideoFormat format{.sps = Bytes(sps->begin(), sps->end()),
                             .pps = Bytes(pps->begin(), pps->end()),
                             .width = configuration_.width,
                             .height = configuration_.height};
    sender_->send(RemotePacket::videoFormat, format.encodeJson());
  }

  std::vector<ByteView> frameNals;
  frameNals.reserve(nals.size());
  std::copy_if(nals.begin(), nals.end(), std::back_inserter(frameNals), [](ByteView nal) {
    const uint8_t type = h264::nalType(nal);
    return type != h264::kSequenceParameterSet && type != h264::kPictureParameterSet;
  });
  const size_t size = h264::lengthPrefixedSize(frameNals);
  if (size == 0 || size > kMaximumFrameSize) return false;
  Bytes payload = h264::lengthPrefixed(frameNals);

  {
    std::lock_guard lock(flow_->mutex);
    ++flow_->unacknowledged;
    flow_->rate->sent(payload.size(), LinkRate::Clock::now());
  }
  sender_->send(RemotePacket::videoFrame, std::move(payload),
                [flow = std::weak_ptr<FlowControl>(flow_)] {
                  if (auto alive = flow.lock()) alive->clearPending();
                });
  return true;
}

void VideoEncoder::fail(const std::string& text) {
  if (onFailure) onFailure(text);
}

}  // namespace veltra
