#include "codec/VideoDecoder.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>

#include "codec/FFmpegSupport.h"
#include "protocol/RemoteError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

namespace veltra {
namespace {

constexpr int kMaxSide = 4096;
constexpr size_t kMaxParameterSet = 4095;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
// Slice threads only pay off with as many slices per picture; encoders rarely cut more than 8.
constexpr unsigned kMaxSliceThreads = 8;

// In order of preference. Each one that FFmpeg was built with and that opens here is tried.
constexpr AVHWDeviceType kDeviceTypes[] = {AV_HWDEVICE_TYPE_VAAPI, AV_HWDEVICE_TYPE_VDPAU,
                                           AV_HWDEVICE_TYPE_CUDA};

using ffmpeg::ContextPtr;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;

RemoteError invalidFormat(int status) {
  return RemoteError::unavailable("Invalid video format (" + std::to_string(status) + ").");
}

RemoteError noDecoder(int status) {
  return RemoteError::unavailable("Hardware decoder unavailable (" + std::to_string(status) + ").");
}

// A NAL unit of `type` with the forbidden bit clear.
bool isNal(ByteView unit, uint8_t type) {
  return !unit.empty() && (unit[0] & 0x9f) == type;
}

// The AVCDecoderConfigurationRecord (ISO/IEC 14496-15) that tells FFmpeg the parameter sets and
// that every NAL unit in a frame is preceded by a 4-byte length. Nothing if the sets are not an
// SPS and a PPS, or the SPS is too short to carry the profile and level the record repeats.
// The optional High-profile tail (chroma format, bit depths) is left out: FFmpeg reads those
// from the SPS itself.
std::optional<Bytes> avcDecoderConfiguration(ByteView sps, ByteView pps) {
  if (sps.size() < 4 || !isNal(sps, kNalSps) || !isNal(pps, kNalPps)) return std::nullopt;
  Bytes record;
  record.reserve(11 + sps.size() + pps.size());
  const auto appendSet = [&record](ByteView set) {
    record.push_back(static_cast<uint8_t>(set.size() >> 8));
    record.push_back(static_cast<uint8_t>(set.size()));
    record.insert(record.end(), set.begin(), set.end());
  };
  record.push_back(1);                                            // configurationVersion
  record.insert(record.end(), sps.begin() + 1, sps.begin() + 4);  // profile, compatibility, level
  record.push_back(0xfc | 3);  // reserved bits, lengthSizeMinusOne = 3
  record.push_back(0xe0 | 1);  // reserved bits, one SPS
  appendSet(sps);
  record.push_back(1);  // one PPS
  appendSet(pps);
  return record;
}

int setExtradata(AVCodecContext* context, ByteView record) {
  // FFmpeg's bit readers may look past the end: the padding must exist and be zero.
  auto* copy = static_cast<uint8_t*>(av_mallocz(record.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!copy) return AVERROR(ENOMEM);
  std::memcpy(copy, record.data(), record.size());
  context->extradata = copy;  // freed by avcodec_free_context
  context->extradata_size = static_cast<int>(record.size());
  return 0;
}

// Opens a throw-away decoder that fails on any error in the parameter sets (the real one only
// warns and carries on, concealing what it can). This is what tells an invalid format from a
// decoder that will not open. The sets go in as Annex B: FFmpeg 5.1 drops the parse errors of an
// avcC record even when asked to fail on them. A set that holds a start code (never a valid one)
// may be split differently here; it is broken either way.
int parseStrictly(const AVCodec* codec, ByteView sps, ByteView pps) {
  ContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return AVERROR(ENOMEM);
  Bytes annexB;
  for (ByteView set : {sps, pps}) {
    annexB.insert(annexB.end(), {0, 0, 0, 1});
    annexB.insert(annexB.end(), set.begin(), set.end());
  }
  if (const int status = setExtradata(context.get(), annexB); status < 0) return status;
  context->err_recognition = AV_EF_EXPLODE;
  context->thread_count = 1;
  return avcodec_open2(context.get(), codec, nullptr);
}

int sliceThreadCount() {
  // The calling thread decodes slices too, so one thread per core and no more.
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, kMaxSliceThreads));
}

// The device's picture format, as chosen and then kept up to date by chooseFormat().
struct HardwareChoice {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  bool active = false;
};

// get_format: called by FFmpeg on the decode thread when the stream's layout is first known (and
// when it changes), with the formats it can produce, hardware ones first.
AVPixelFormat chooseFormat(AVCodecContext* context, const AVPixelFormat* offered) {
  auto* choice = static_cast<HardwareChoice*>(context->opaque);
  for (const AVPixelFormat* format = offered; *format != AV_PIX_FMT_NONE; ++format) {
    if (*format == choice->format) {
      choice->active = true;
      return *format;
    }
  }
  // The device cannot take this stream (profile, size): decode it in software instead.
  choice->active = false;
  for (const AVPixelFormat* format = offered; *format != AV_PIX_FMT_NONE; ++format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*format);
    if (descriptor && !(descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL)) return *format;
  }
  return AV_PIX_FMT_NONE;
}

AVPixelFormat deviceFormat(const AVCodec* codec, AVHWDeviceType type) {
  for (int index = 0;; ++index) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(codec, index);
    if (!config) return AV_PIX_FMT_NONE;
    if (config->device_type == type && (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX))
      return config->pix_fmt;
  }
}

// What the view can draw: 8-bit 4:2:0 in one of the layouts it uploads, no side beyond the
// largest format (max_pixels bounds the area only). Anything else (4:2:2, 4:4:4, 10-bit, an
// in-band SPS 8192 wide) is refused rather than shown wrong.
bool isDrawable(const AVFrame& picture) {
  const int format = picture.format;
  return (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P ||
          format == AV_PIX_FMT_NV12) &&
         picture.width >= 1 && picture.width <= kMaxSide && picture.height >= 1 &&
         picture.height <= kMaxSide;
}

}  // namespace

// An opened hardware device, shared by every session of one decoder.
struct VideoDecoder::Device {
  Device(AVBufferRef* opened, AVHWDeviceType kind, AVPixelFormat pictures)
      : reference(opened), type(kind), format(pictures) {}
  ~Device() { av_buffer_unref(&reference); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  AVBufferRef* reference;
  AVHWDeviceType type;
  AVPixelFormat format;  // the device's pictures, as get_format offers them
};

struct VideoDecoder::Session {
  ContextPtr context;
  PacketPtr packet;
  FramePtr received;
  // context->opaque points here, so a Session never moves once opened.
  HardwareChoice hardware;
  std::string name;
};

VideoDecoder::VideoDecoder(Acceleration acceleration) : acceleration_(acceleration) {
  ffmpeg::silenceLogging();
}

VideoDecoder::~VideoDecoder() = default;

void VideoDecoder::configure(const VideoFormat& format) {
  const auto sideOk = [](int side) { return side >= 1 && side <= kMaxSide; };
  const auto setOk = [](const Bytes& set) {
    return !set.empty() && set.size() <= kMaxParameterSet;
  };
  if (!sideOk(format.width) || !sideOk(format.height) || !setOk(format.sps) || !setOk(format.pps)) {
    throw RemoteError::invalidPacket();
  }
  // The host repeats the format before every key frame; a rebuild there would cost the
  // reference pictures and a stall. The size is not compared: the SPS carries it.
  if (lastFormat_ && lastFormat_->sps == format.sps && lastFormat_->pps == format.pps) return;

  stop();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) throw noDecoder(AVERROR_DECODER_NOT_FOUND);
  const std::optional<Bytes> record = avcDecoderConfiguration(format.sps, format.pps);
  if (!record) throw invalidFormat(AVERROR_INVALIDDATA);
  // Running out of memory says nothing about the format; the real open below reports it.
  if (const int status = parseStrictly(codec, format.sps, format.pps);
      status < 0 && status != AVERROR(ENOMEM))
    throw invalidFormat(status);

  if (acceleration_ == Acceleration::automatic && !deviceProbed_) {
    deviceProbed_ = true;
    for (const AVHWDeviceType type : kDeviceTypes) {
      const AVPixelFormat pixelFormat = deviceFormat(codec, type);
      AVBufferRef* reference = nullptr;
      if (pixelFormat == AV_PIX_FMT_NONE ||
          av_hwdevice_ctx_create(&reference, type, nullptr, nullptr, 0) < 0) {
        continue;
      }
      device_ = std::make_unique<Device>(reference, type, pixelFormat);
      break;
    }
  }

  std::shared_ptr<Session> session;
  int status = AVERROR_UNKNOWN;
  const auto open = [&](const Device* device) {
    session = std::make_shared<Session>();
    session->context.reset(avcodec_alloc_context3(codec));
    session->packet.reset(av_packet_alloc());
    session->received.reset(av_frame_alloc());
    if (!session->context || !session->packet || !session->received) {
      status = AVERROR(ENOMEM);
      return;
    }
    AVCodecContext* context = session->context.get();
    if ((status = setExtradata(context, *record)) < 0) return;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_type = FF_THREAD_SLICE;
    context->thread_count = sliceThreadCount();
    // No picture larger than the largest format we accept, whatever an in-band SPS claims.
    context->max_pixels = int64_t{kMaxSide} * kMaxSide;
    session->name = codec->name;
    if (device) {
      context->hw_device_ctx = av_buffer_ref(device->reference);
      if (!context->hw_device_ctx) {
        status = AVERROR(ENOMEM);
        return;
      }
      session->hardware = {device->format, true};
      context->opaque = &session->hardware;
      context->get_format = chooseFormat;
      session->name += std::string(" (") + av_hwdevice_get_type_name(device->type) + ")";
    }
    status = avcodec_open2(context, codec, nullptr);
  };
  if (device_) open(device_.get());
  if (status < 0) open(nullptr);
  if (status < 0) throw noDecoder(status);

  session_ = std::move(session);
  lastFormat_ = format;
}

void VideoDecoder::decode(ByteView payload) {
  if (!session_) throw RemoteError::unavailable("Video frame arrived before format.");
  if (payload.empty() || payload.size() > size_t{INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE})
    throw RemoteError::invalidPacket();
  // Our own reference: a callback may stop or reconfigure the decoder while we drain.
  const std::shared_ptr<Session> session = session_;
  AVPacket* packet = session->packet.get();
  // The one copy of the payload, into a buffer with the zeroed padding FFmpeg's readers need:
  // the NAL lengths inside are the sender's word and FFmpeg checks them against this size.
  if (av_new_packet(packet, static_cast<int>(payload.size())) < 0)
    throw RemoteError::invalidPacket();
  std::memcpy(packet->data, payload.data(), payload.size());
  const int status = avcodec_send_packet(session->context.get(), packet);
  av_packet_unref(packet);
  if (status < 0)
    throw RemoteError::unavailable("Video decode failed (" + std::to_string(status) + ").");
  drain(*session);
}

void VideoDecoder::drain(Session& session) {
  AVFrame* received = session.received.get();
  while (session_.get() == &session) {
    int status = avcodec_receive_frame(session.context.get(), received);
    // EAGAIN: no picture (yet) for what was sent, which is no failure; a picture that comes
    // later is delivered by the decode() that releases it.
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
    if (status < 0) {
      fail(status);
      return;
    }
    if (!onFrame) {
      av_frame_unref(received);
      continue;
    }
    FramePtr picture(av_frame_alloc());
    if (!picture) {
      av_frame_unref(received);
      fail(AVERROR(ENOMEM));
      return;
    }
    if (session.hardware.format != AV_PIX_FMT_NONE && received->format == session.hardware.format) {
      // Into system memory (nv12 for 8-bit streams): the view uploads planes from there.
      status = av_hwframe_transfer_data(picture.get(), received, 0);
      if (status >= 0) status = av_frame_copy_props(picture.get(), received);
      av_frame_unref(received);
    } else {
      av_frame_move_ref(picture.get(), received);
    }
    if (status >= 0 && !isDrawable(*picture)) status = AVERROR(ENOTSUP);
    if (status < 0) {
      fail(status);
      return;
    }
    onFrame(std::make_shared<const RemoteFrame>(VideoPicture::adopt(picture.release())));
  }
}

void VideoDecoder::fail(int status) {
  if (onFailure) onFailure("Video decode callback failed: " + std::to_string(status));
}

void VideoDecoder::stop() {
  session_.reset();
  lastFormat_.reset();
}

std::string VideoDecoder::decoderName() const {
  return session_ ? session_->name : std::string();
}

bool VideoDecoder::isHardware() const {
  return session_ && session_->hardware.active;
}

}  // namespace veltra
