#include "codec/H264Session.h"

#include <string_view>

#include "codec/FFmpegSupport.h"
#include "protocol/RemoteError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace veltra {
namespace {

// libx264's preset and slice threads, chosen by measurement on the 2-core machine we target:
// `encoder_bench --sweep` runs the ffmpeg command line with exactly our settings at 1920×1080,
// 60 fps, 20 Mbit/s, one-frame VBV, on a synthetic desktop (scrolling text, a moving video
// window) and on full-screen video with grain. Pictures per second (2 threads, best run on a
// shared machine) and mean luma PSNR:
//
//   preset      desktop            full-screen video
//   ultrafast   232/s  47.9 dB     151/s  34.2 dB
//   superfast   131/s  48.7 dB      94/s  39.9 dB
//   veryfast    108/s  48.7 dB      51/s  40.1 dB
//
// ultrafast falls below 35 dB on video (no CABAC, no 8×8 transform, no sub-pixel motion; it
// even writes a Constrained Baseline stream whatever profile is asked for). superfast is the
// fastest preset above 35 dB on both scenes and above 60 pictures/s at 1080p, and a real High
// profile stream. Two slice threads beat one (about half the rate) and three (a third thread
// only adds a slice and overhead on two cores).
constexpr const char* kX264Preset = "superfast";
constexpr int kX264Threads = 2;

// VA-API frames the encoder may hold at once (input pictures in flight); FFmpeg's own VA-API
// encoding example uses the same pool.
constexpr int kVaapiPoolSize = 20;

enum class Family { software, nvenc, vaapi };

Family familyOf(std::string_view name) {
  if (name == "h264_nvenc") return Family::nvenc;
  if (name == "h264_vaapi") return Family::vaapi;
  return Family::software;
}

using ffmpeg::BufferPtr;
using ffmpeg::ContextPtr;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;

RemoteError unavailable(int status) {
  return RemoteError::unavailable("Hardware H.264 encoder unavailable (" + std::to_string(status) +
                                  ").");
}

RemoteError unprepared() {
  return RemoteError::unavailable("Unable to prepare encoder.");
}

void setOption(void* object, const std::string& name, const std::string& value, int flags = 0) {
  const int status = av_opt_set(object, name.c_str(), value.c_str(), flags);
  if (status < 0) {
    throw RemoteError::unavailable("Encoder configuration failed (" + name + ": " +
                                   std::to_string(status) + ").");
  }
}

// What every encoder gets: size, rate, no reordering, High profile, the bit rate with a VBV of
// about one frame, so that no frame waits behind a big one, and a key frame at least every
// two seconds.
void configure(AVCodecContext* context, const RemoteConfiguration& configuration) {
  const int64_t bitRate = h264BitRate(configuration);
  context->width = configuration.width;
  context->height = configuration.height;
  context->pix_fmt = AV_PIX_FMT_NV12;
  context->time_base = AVRational{1, configuration.fps};
  context->framerate = AVRational{configuration.fps, 1};
  context->bit_rate = bitRate;
  context->rc_max_rate = bitRate;
  context->rc_buffer_size = static_cast<int>(bitRate / configuration.fps);
  context->gop_size = 2 * configuration.fps;
  context->max_b_frames = 0;
  context->profile = FF_PROFILE_H264_HIGH;
  // Captured pictures are BT.601 video range (libyuv's conversion); saying so in the stream keeps
  // decoders from guessing BT.709 and shifting every colour. Primaries and transfer are sRGB's,
  // as on any desktop.
  context->colorspace = AVCOL_SPC_SMPTE170M;
  context->color_range = AVCOL_RANGE_MPEG;
  context->color_primaries = AVCOL_PRI_BT709;
  context->color_trc = AVCOL_TRC_IEC61966_2_1;
}

// Each family's low-latency settings. Every option here exists in FFmpeg 5.1; a rejection
// throws, because it means a build we were not written for.
void configurePrivate(Family family, AVCodecContext* context) {
  void* options = context->priv_data;
  switch (family) {
    case Family::software:
      if (std::string_view(context->codec->name) != "libx264") return;
      // zerolatency: no lookahead, no frame threads, no reordering; one picture in, one out.
      setOption(options, "preset", kX264Preset);
      setOption(options, "tune", "zerolatency");
      setOption(options, "profile", "high");
      // Slice threads split each picture; frame threads would hold pictures back instead.
      context->thread_count = kX264Threads;
      context->thread_type = FF_THREAD_SLICE;
      return;
    case Family::nvenc:
      // Not measured here (no GPU): the fastest preset with NVIDIA's ultra-low-latency tuning,
      // constant bit rate and no output delay, so each picture comes out before the next.
      setOption(options, "preset", "p1");
      setOption(options, "tune", "ull");
      setOption(options, "rc", "cbr");
      setOption(options, "zerolatency", "1");
      setOption(options, "delay", "0");
      setOption(options, "profile", "high");
      return;
    case Family::vaapi:
      // One picture in flight in the driver; rate control picks CBR itself (max = average).
      setOption(options, "async_depth", "1");
      return;
  }
}

// Hands the encoder a pool of VA-API surfaces that captured NV12 pictures are uploaded into.
// Returns a negative status when the machine has no usable VA-API device.
int attachVaapiFrames(AVCodecContext* context) {
  AVBufferRef* rawDevice = nullptr;
  int status = av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
  if (status < 0) return status;
  const BufferPtr device(rawDevice);
  BufferPtr frames(av_hwframe_ctx_alloc(device.get()));
  if (!frames) return AVERROR(ENOMEM);
  auto* pool = reinterpret_cast<AVHWFramesContext*>(frames->data);
  pool->format = AV_PIX_FMT_VAAPI;
  pool->sw_format = AV_PIX_FMT_NV12;
  pool->width = context->width;
  pool->height = context->height;
  pool->initial_pool_size = kVaapiPoolSize;
  status = av_hwframe_ctx_init(frames.get());
  if (status < 0) return status;
  context->pix_fmt = AV_PIX_FMT_VAAPI;
  context->hw_frames_ctx = frames.release();
  return 0;
}

class FfmpegH264Session final : public H264Session {
 public:
  FfmpegH264Session(ContextPtr context, PacketPtr packet, FramePtr input)
      : context_(std::move(context)), packet_(std::move(packet)), input_(std::move(input)) {}

  int send(const VideoPicture& picture, int64_t presentationTime) override {
    const AVFrame* source = picture.frame();
    if (!source || source->format != AV_PIX_FMT_NV12 || source->width != context_->width ||
        source->height != context_->height) {
      return AVERROR(EINVAL);
    }
    // Microseconds to the 1/fps time base; two pictures in one slot must still get their own.
    int64_t pts = av_rescale_q(presentationTime, AVRational{1, 1'000'000}, context_->time_base);
    if (hasPts_ && pts <= lastPts_) pts = lastPts_ + 1;
    hasPts_ = true;
    lastPts_ = pts;

    int status = 0;
    if (context_->hw_frames_ctx) {
      status = av_hwframe_get_buffer(context_->hw_frames_ctx, input_.get(), 0);
      if (status >= 0) status = av_hwframe_transfer_data(input_.get(), source, 0);
    } else {
      status = av_frame_ref(input_.get(), source);  // shares the planes, copies nothing
    }
    if (status >= 0) {
      input_->pts = pts;
      input_->pict_type = AV_PICTURE_TYPE_NONE;  // never a forced key frame
      status = avcodec_send_frame(context_.get(), input_.get());
    }
    av_frame_unref(input_.get());
    return status;
  }

  int flush() override { return avcodec_send_frame(context_.get(), nullptr); }

  int receive(Packet& packet) override {
    av_packet_unref(packet_.get());
    const int status = avcodec_receive_packet(context_.get(), packet_.get());
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return 0;
    if (status < 0) return status;
    packet.data = ByteView(packet_->data, static_cast<size_t>(packet_->size));
    packet.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    return 1;
  }

  ByteView extradata() const override {
    if (!context_->extradata) return {};
    return ByteView(context_->extradata, static_cast<size_t>(context_->extradata_size));
  }

  // libx264 and NVENC pick the new rate and VBV up at the next picture they are sent.
  void setBitRate(int64_t bitRate) override {
    context_->bit_rate = bitRate;
    context_->rc_max_rate = bitRate;
    context_->rc_buffer_size = static_cast<int>(bitRate / context_->framerate.num);
  }

  std::string name() const override { return context_->codec->name; }
  int64_t bitRate() const override { return context_->bit_rate; }
  int keyFrameInterval() const override { return context_->gop_size; }

 private:
  ContextPtr context_;
  PacketPtr packet_;
  FramePtr input_;  // reused for every picture, unreferenced after each send
  int64_t lastPts_ = 0;
  bool hasPts_ = false;
};

}  // namespace

int64_t h264BitRate(const RemoteConfiguration& configuration) {
  return configuration.width == 1920 ? 20'000'000 : 35'000'000;
}

std::unique_ptr<H264Session> openH264Session(const RemoteConfiguration& configuration,
                                             const H264SessionOptions& options) {
  ffmpeg::silenceLogging();

  if (configuration.width <= 0 || configuration.height <= 0 || configuration.fps <= 0) {
    throw unprepared();
  }
  int lastStatus = AVERROR_ENCODER_NOT_FOUND;
  for (size_t index = 0; index < options.candidates.size(); ++index) {
    const std::string& name = options.candidates[index];
    const bool lastResort = index + 1 == options.candidates.size();
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec || codec->id != AV_CODEC_ID_H264) {
      lastStatus = AVERROR_ENCODER_NOT_FOUND;
      continue;
    }
    ContextPtr context(avcodec_alloc_context3(codec));
    if (!context) throw unprepared();
    configure(context.get(), configuration);
    const Family family = familyOf(name);
    configurePrivate(family, context.get());
    for (const auto& [option, value] : options.extraOptions) {
      setOption(context.get(), option, value, AV_OPT_SEARCH_CHILDREN);
    }
    if (family == Family::vaapi) {
      const int status = attachVaapiFrames(context.get());
      if (status < 0) {
        lastStatus = status;
        continue;
      }
    }
    const int status = avcodec_open2(context.get(), codec, nullptr);
    if (status < 0) {
      if (lastResort) throw unprepared();
      lastStatus = status;
      continue;
    }
    PacketPtr packet(av_packet_alloc());
    FramePtr input(av_frame_alloc());
    if (!packet || !input) throw unprepared();
    return std::make_unique<FfmpegH264Session>(std::move(context), std::move(packet),
                                               std::move(input));
  }
  throw unavailable(lastStatus);
}

}  // namespace veltra
