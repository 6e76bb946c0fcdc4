#include "client/RemoteClient.h"

#include <opus.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <climits>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "protocol/AudioPacket.h"
#include "protocol/Heartbeat.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/UnicodeText.h"
#include "protocol/VideoFormat.h"

namespace veltra {
namespace {

constexpr const char* kAddressOrPort = "Enter a host address and a port between 1024 and 65535.";
constexpr const char* kConnecting = "Connecting and authenticating…";
constexpr const char* kAuthenticated = "Authenticated · preparing remote display…";
constexpr const char* kCopyTooLarge = " · copied text over 1 MiB not sent";
// Rates over a shorter gap than this would only magnify jitter.
constexpr double kShortestStatsInterval = 0.1;
// Longer than any connection waits for a pong, in milliseconds.
constexpr double kLongestRoundTrip = 24.0 * 3600 * 1000;

// The port exactly as typed: an optional "+" and decimal digits, nothing around them.
std::optional<uint16_t> parsePort(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(digit - '0');
    if (value > UINT16_MAX) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

int perSecond(int count, double seconds) {
  return static_cast<int>(std::min(count / seconds, static_cast<double>(INT_MAX)));
}

}  // namespace

// The callbacks of the wire strand and the decode queue hold this, never the client: they may
// outlive it. The client's destructor empties it under the lock, so that once the destructor has
// returned nothing is posted to a queue that may be gone with it.
struct RemoteClient::Link {
  std::mutex mutex;
  MainQueue* main = nullptr;           // guarded by mutex
  SerialQueue* decodeQueue = nullptr;  // guarded by mutex
  SerialQueue* audioQueue = nullptr;   // guarded by mutex
  RemoteClient* client = nullptr;      // main thread only

  // From any thread: runs `work` on the main thread if the client is still there by then and
  // `generation` is still its attempt.
  static void toMain(const std::shared_ptr<Link>& link, Generation generation,
                     std::function<void(RemoteClient&)> work) {
    std::lock_guard lock(link->mutex);
    if (!link->main) return;
    link->main->post([link, generation, work = std::move(work)] {
      RemoteClient* client = link->client;
      if (client && client->generation_ == generation) work(*client);
    });
  }

  void toDecoder(std::function<void()> task) {
    std::lock_guard lock(mutex);
    if (decodeQueue) decodeQueue->post(std::move(task));
  }
  void toAudio(std::function<void()> task) {
    std::lock_guard lock(mutex);
    if (audioQueue) audioQueue->post(std::move(task));
  }
};

// One attempt's decoder, shared by the tasks queued for it. The decoder is used and released on
// the decode queue only.
struct RemoteClient::DecodeLane {
  std::unique_ptr<VideoDecoder> decoder;
  // Set when the attempt ends or decoding fails: what is still queued is skipped, so that neither
  // a new attempt nor the destructor waits for pictures nobody will see.
  std::atomic<bool> ended{false};
  // The pictures of the access unit being decoded. Decode queue only.
  std::vector<std::shared_ptr<const RemoteFrame>> pictures;
  // The decoder's name as last handed to the main thread. Decode queue only.
  std::string name;
};

// One attempt's sound: its Opus decoder (audio queue only) and the jitter buffer it fills.
struct RemoteClient::AudioLane {
  const std::shared_ptr<AudioJitterBuffer> buffer = std::make_shared<AudioJitterBuffer>();
  // Set on the wire strand when the host's confirmation names the extension, so that it is set
  // before the first audio packet behind that confirmation reaches the audio queue.
  std::atomic<bool> on{false};
  std::atomic<bool> ended{false};
  OpusDecoder* decoder = nullptr;
  // The sequence that continues the sound decoded last; a jump resets the decoder, as the host
  // resets its encoder after a silence. Audio queue only.
  std::optional<uint32_t> next;

  ~AudioLane() {
    if (decoder) opus_decoder_destroy(decoder);
  }
};

template <typename T>
void RemoteClient::update(T& field, T value) {
  if (field == value) return;
  field = std::move(value);
  changed_ = true;
}

RemoteClient::RemoteClient(MainQueue& main, Options options)
    : main_(main), options_(std::move(options)), link_(std::make_shared<Link>()) {
  if (!options_.now) options_.now = [] { return Clock::now(); };
  if (!options_.referenceSeconds) options_.referenceSeconds = secondsSinceReferenceDate;
  lastStats_ = lastPong_ = options_.now();
  link_->main = &main_;
  link_->decodeQueue = &decodeQueue_;
  link_->audioQueue = &audioQueue_;
  link_->client = this;
}

RemoteClient::~RemoteClient() {
  {
    std::lock_guard lock(link_->mutex);
    link_->main = nullptr;
    link_->decodeQueue = nullptr;
    link_->audioQueue = nullptr;
  }
  link_->client = nullptr;
  timer_.cancel();
  wire_.reset();  // ends the connection without a callback
  if (decoder_) retire(std::move(decoder_));
  if (audioPlaying_) options_.audio->stop();
  RemoteAuthentication::wipeKeyText(connectionKey_);
  // decodeQueue_, destroyed first of the members, runs the release queued above and joins.
}

void RemoteClient::setAddress(std::string address) {
  update(address_, std::move(address));
  publish();
}

void RemoteClient::setPort(std::string port) {
  update(port_, std::move(port));
  publish();
}

void RemoteClient::setConnectionKey(std::string key) {
  if (key != connectionKey_) RemoteAuthentication::wipeKeyText(connectionKey_);
  update(connectionKey_, std::move(key));
  publish();
}

void RemoteClient::setConfiguration(RemoteConfiguration configuration) {
  update(configuration_, configuration);
  publish();
}

void RemoteClient::connect() {
  if (connecting_ || connected_) return;
  try {
    startAttempt();
  } catch (const RemoteError& error) {
    update(status_, std::string(error.what()));
  }
  publish();
}

void RemoteClient::disconnect(const std::string& reason) {
  endAttempt(reason);
  publish();
}

void RemoteClient::setInputEnabled(bool enabled) {
  applyInputEnabled(enabled);
  publish();
}

void RemoteClient::send(const RemoteInput& input) {
  if (!inputEnabled_ || !wire_ || !input.isValid()) return;
  Bytes payload;
  try {
    payload = input.encodeJson();
  } catch (const std::exception&) {
    return;
  }
  wire_->send(RemotePacket::input, std::move(payload));
}

void RemoteClient::setAudioMuted(bool muted) {
  update(audioMuted_, muted);
  if (audio_) audio_->buffer->setMuted(muted);
  publish();
}

void RemoteClient::recordPresentation() {
  ++displayedCount_;
}

void RemoteClient::startAttempt() {
  const std::string host(trimWhiteSpace(address_));
  if (host.empty()) throw RemoteError::unavailable(kAddressOrPort);
  const std::optional<uint16_t> port = parsePort(port_);
  if (!port || *port < 1024) throw RemoteError::unavailable(kAddressOrPort);
  if (!configuration_.isValid()) throw RemoteError::invalidPacket();
  const SecretKey secret = RemoteAuthentication::secret(connectionKey_);

  requested_ = configuration_;
  wire_ = RemoteConnection::client(host, *port, secret, options_.connection);
  generation_ = newGeneration();
  decoder_ = std::make_shared<DecodeLane>();
  decoder_->decoder = std::make_unique<VideoDecoder>(options_.acceleration);
  if (offered().has(SessionExtension::audio)) {
    audio_ = std::make_shared<AudioLane>();
    audio_->buffer->setMuted(audioMuted_);
  }

  const Generation attempt = generation_;
  const std::shared_ptr<Link> link = link_;
  // The decoder calls these from inside decode(), on the decode queue; the lane owns the decoder
  // and so outlives them. Pictures go to the main thread with their access unit, once decoded.
  DecodeLane* lane = decoder_.get();
  decoder_->decoder->onFrame = [lane](std::shared_ptr<const RemoteFrame> frame) {
    lane->pictures.push_back(std::move(frame));
  };
  decoder_->decoder->onFailure = [link, attempt, lane](std::string message) {
    lane->ended = true;
    Link::toMain(link, attempt, [message = std::move(message)](RemoteClient& client) {
      client.disconnect(message);
    });
  };

  // The connection calls these on its wire strand; they only route.
  wire_->onReady = [link, attempt] {
    Link::toMain(link, attempt, [](RemoteClient& client) { client.authenticated(); });
  };
  wire_->onPacket = [link, attempt, lane = decoder_, audio = audio_](RemotePacket type,
                                                                     Bytes payload) {
    if (type == RemotePacket::audio) {
      if (audio && audio->on.load())
        link->toAudio([audio, payload = std::move(payload)] { playOnQueue(*audio, payload); });
      return;
    }
    if (type == RemotePacket::configuration && audio) {
      const auto accepted = configurationExtras(payload).extensions;
      if (accepted && accepted->has(SessionExtension::audio)) audio->on = true;
    }
    if (type == RemotePacket::videoFormat || type == RemotePacket::videoFrame) {
      // One queue for both keeps a format ahead of the frames that follow it.
      link->toDecoder([link, lane, attempt, type, payload = std::move(payload)] {
        decodeOnQueue(link, *lane, attempt, type, payload);
      });
      return;
    }
    Link::toMain(link, attempt, [type, payload = std::move(payload)](RemoteClient& client) {
      client.received(type, payload);
    });
  };
  wire_->onEnd = [link, attempt](std::string reason) {
    Link::toMain(link, attempt,
                 [reason = std::move(reason)](RemoteClient& client) { client.disconnect(reason); });
  };

  update(connecting_, true);
  update(status_, std::string(kConnecting));
  wire_->start();
}

void RemoteClient::decodeOnQueue(const std::shared_ptr<Link>& link, DecodeLane& lane,
                                 Generation generation, RemotePacket type, const Bytes& payload) {
  if (lane.ended.load() || !lane.decoder) return;
  try {
    if (type == RemotePacket::videoFormat) {
      lane.decoder->configure(VideoFormat::decodeJson(payload));
      return;
    }
    lane.pictures.clear();
    lane.decoder->decode(payload);
  } catch (const std::exception& error) {
    // Later frames of a broken stream would only fail again or show garbage.
    lane.ended = true;
    Link::toMain(link, generation, [message = std::string(error.what())](RemoteClient& client) {
      client.disconnect(message);
    });
    return;
  }
  // A picture that failed on its way out ended the attempt; nothing of it is acknowledged.
  if (lane.ended.load()) return;
  std::string name = lane.decoder->decoderName();
  if (name == lane.name)
    name.clear();  // unchanged: nothing to copy
  else
    lane.name = name;
  Link::toMain(
      link, generation,
      [pictures = std::move(lane.pictures), bytes = payload.size(), name = std::move(name)](
          RemoteClient& client) { client.accessUnitDecoded(pictures, bytes, name); });
}

void RemoteClient::playOnQueue(AudioLane& lane, const Bytes& payload) {
  if (lane.ended.load()) return;
  const std::optional<AudioPacket> packet = AudioPacket::decode(payload);
  if (!packet) return;
  if (!lane.decoder) {
    int error = OPUS_OK;
    lane.decoder =
        opus_decoder_create(AudioJitterBuffer::kRate, AudioJitterBuffer::kChannels, &error);
    if (!lane.decoder) return;
  }
  if (lane.next && *lane.next != packet->sequence) opus_decoder_ctl(lane.decoder, OPUS_RESET_STATE);
  // The longest Opus packet holds 120 ms.
  constexpr int kMostFrames = AudioJitterBuffer::kRate * 120 / 1000;
  std::array<int16_t, kMostFrames * AudioJitterBuffer::kChannels> pcm;
  const int frames =
      opus_decode(lane.decoder, packet->opus.data(), static_cast<opus_int32>(packet->opus.size()),
                  pcm.data(), kMostFrames, 0);
  if (frames <= 0) return;  // a damaged packet: dropped, its time becomes a gap
  const auto samples = static_cast<size_t>(frames) * AudioJitterBuffer::kChannels;
  lane.next =
      packet->sequence +
      static_cast<uint32_t>((static_cast<size_t>(frames) + AudioJitterBuffer::kStepFrames - 1) /
                            AudioJitterBuffer::kStepFrames);
  lane.buffer->push(packet->sequence, std::span<const int16_t>(pcm.data(), samples));
}

void RemoteClient::authenticated() {
  update(connecting_, false);
  update(connected_, true);
  update(status_, std::string(kAuthenticated));
  lastPong_ = lastStats_ = options_.now();

  Bytes payload;
  try {
    payload = configurationJson(requested_, offered());
  } catch (const std::exception&) {
    // The host answers an empty configuration with a failure, which then becomes the status.
  }
  wire_->send(RemotePacket::configuration, std::move(payload));

  // Ended by endAttempt() and the destructor; the link check covers a tick already on its way.
  timer_ = main_.repeating(options_.tickInterval, [link = link_] {
    if (link->client) link->client->tick();
  });
  publish();
}

void RemoteClient::received(RemotePacket type, const Bytes& payload) {
  switch (type) {
    case RemotePacket::failure:
      endAttempt(failureText(payload));
      break;
    case RemotePacket::pong: {
      lastPong_ = options_.now();
      const std::optional<double> trip =
          roundTripMilliseconds(payload, options_.referenceSeconds());
      // A trip beyond any timeout says the echoed time is nonsense, not that it took that long.
      if (trip && *trip < kLongestRoundTrip) update(rttMilliseconds_, *trip);
      break;
    }
    case RemotePacket::configuration:
      confirmed(payload);
      break;
    case RemotePacket::clipboard:
      if (extensions_.has(SessionExtension::clipboard)) {
        std::optional<std::string> text = clipboard_.remote(payload);
        if (text && onRemoteCopy) onRemoteCopy(*text);
      }
      break;
    case RemotePacket::cursor:
      if (extensions_.has(SessionExtension::cursor)) {
        const std::optional<CursorImage> image = CursorImage::decode(payload);
        if (image && onCursor) onCursor(*image);
      }
      break;
    default:
      break;
  }
  publish();
}

// The host confirms the display it set up for what this attempt asked; the status shows what was
// asked. A host of ours also names the extensions it accepted of those offered, and its encoder.
void RemoteClient::confirmed(const Bytes& payload) {
  const ConfigurationExtras extras = configurationExtras(payload);
  update(extensions_, extras.extensions.value_or(SessionExtensions{}) & offered());
  if (extensions_.has(SessionExtension::audio) && audio_ && !audioPlaying_) {
    options_.audio->start(audio_->buffer);
    audioPlaying_ = true;
  }
  update(hostEncoder_, extras.encoder);
  update(status_, connectedStatus());
}

SessionExtensions RemoteClient::offered() const {
  if (options_.audio) return options_.extensions;
  return options_.extensions &
         SessionExtensions{SessionExtension::clipboard, SessionExtension::cursor};
}

std::string RemoteClient::connectedStatus() const {
  return "Connected · " + std::to_string(requested_.width) + "×" +
         std::to_string(requested_.height) + " · target " + std::to_string(requested_.fps) + " fps";
}

void RemoteClient::copyToRemote(std::string text) {
  if (!wire_ || !extensions_.has(SessionExtension::clipboard)) return;
  switch (clipboard_.local(std::move(text), options_.now())) {
    case ClipboardExchange::Verdict::send:
      wire_->send(RemotePacket::clipboard, toBytes(clipboard_.takeOutgoing()));
      update(status_, connectedStatus());
      break;
    case ClipboardExchange::Verdict::later:
      if (!clipboardTimer_) {
        const auto wait = *clipboard_.nextDue() - options_.now();
        clipboardTimer_ =
            main_.postDelayed(std::chrono::duration_cast<std::chrono::milliseconds>(wait) +
                                  std::chrono::milliseconds(1),
                              [link = link_, attempt = generation_] {
                                RemoteClient* client = link->client;
                                if (client && client->generation_ == attempt)
                                  client->clipboardDue();
                              });
      }
      break;
    case ClipboardExchange::Verdict::tooLarge:
      update(status_, connectedStatus() + kCopyTooLarge);
      break;
    case ClipboardExchange::Verdict::unchanged:
    case ClipboardExchange::Verdict::refused:
      break;
  }
  publish();
}

void RemoteClient::clipboardDue() {
  clipboardTimer_ = {};
  if (!wire_) return;
  if (std::optional<std::string> text = clipboard_.due(options_.now())) {
    wire_->send(RemotePacket::clipboard, toBytes(*text));
    update(status_, connectedStatus());
  } else if (const auto next = clipboard_.nextDue()) {
    // Not yet: the clock of the rate limit runs ahead of the queue's timer.
    clipboardTimer_ = main_.postDelayed(
        std::chrono::milliseconds(1) +
            std::chrono::duration_cast<std::chrono::milliseconds>(*next - options_.now()),
        [link = link_, attempt = generation_] {
          RemoteClient* client = link->client;
          if (client && client->generation_ == attempt) {
            client->clipboardDue();
          }
        });
  }
  publish();
}

void RemoteClient::accessUnitDecoded(
    const std::vector<std::shared_ptr<const RemoteFrame>>& pictures, size_t bytes,
    const std::string& decoder) {
  const Generation attempt = generation_;
  videoBytes_ += static_cast<int64_t>(bytes);
  if (!decoder.empty()) update(decoderName_, decoder);
  for (const auto& frame : pictures) {
    latestFrame_ = frame;
    ++decodedCount_;
    // A copy, so that the view may replace its callback from inside it.
    if (auto view = onFrame) view(frame);
    if (generation_ != attempt) return;  // the view ended the attempt
  }
  // One acknowledgement per access unit, once the view has its pictures, so that the host's flow
  // control paces the stream by what is shown. An access unit that gave no picture (P frames
  // whose key frame never arrived, until the next one) is acknowledged all the same: it has left
  // the pipeline, and the host stops after three frames unacknowledged.
  if (wire_) wire_->send(RemotePacket::frameAck, {});
}

void RemoteClient::tick() {
  if (!connected_) return;
  const Clock::time_point now = options_.now();
  if (now - lastPong_ > options_.heartbeatLimit) {
    disconnect(kHeartbeatTimedOut);
    return;
  }
  const double seconds =
      std::max(std::chrono::duration<double>(now - lastStats_).count(), kShortestStatsInterval);
  update(decodedFPS_, perSecond(decodedCount_, seconds));
  update(displayedFPS_, perSecond(displayedCount_, seconds));
  update(videoBitRate_, static_cast<int64_t>(static_cast<double>(videoBytes_) * 8 / seconds));
  decodedCount_ = 0;
  displayedCount_ = 0;
  videoBytes_ = 0;
  lastStats_ = now;

  if (wire_) {
    try {
      wire_->send(RemotePacket::ping, pingPayload(options_.referenceSeconds()));
    } catch (const std::invalid_argument&) {
      // A wall clock that reads no finite time; the heartbeat then simply runs out.
    }
  }
  publish();
}

void RemoteClient::endAttempt(const std::string& reason) {
  applyInputEnabled(false);
  // First, so that whatever the old attempt still has under way finds itself stale.
  generation_ = newGeneration();
  wire_.reset();  // ends the connection without a callback; the status is `reason`
  timer_.cancel();
  timer_ = {};
  update(connected_, false);
  update(connecting_, false);
  latestFrame_.reset();
  update(decodedFPS_, 0);
  update(displayedFPS_, 0);
  update(videoBitRate_, int64_t{0});
  update(decoderName_, std::string());
  update(extensions_, SessionExtensions{});
  update(hostEncoder_, std::string());
  decodedCount_ = 0;
  displayedCount_ = 0;
  videoBytes_ = 0;
  clipboard_ = {};
  clipboardTimer_.cancel();
  clipboardTimer_ = {};
  update(status_, reason);
  if (decoder_) retire(std::move(decoder_));
  if (audio_) {
    audio_->ended = true;
    audio_.reset();
  }
  if (audioPlaying_) {
    options_.audio->stop();
    audioPlaying_ = false;
  }
}

void RemoteClient::applyInputEnabled(bool enabled) {
  update(inputEnabled_, enabled && connected_ && latestFrame_ != nullptr);
  if (!inputEnabled_ && wire_) wire_->send(RemotePacket::releaseInput, {});
}

void RemoteClient::retire(std::shared_ptr<DecodeLane> lane) {
  lane->ended = true;
  // Released on the decode queue, behind the work already queued for it: the decoder is not
  // thread-safe, and closing a hardware session should not hold up the main thread.
  decodeQueue_.post([lane = std::move(lane)] { lane->decoder.reset(); });
}

void RemoteClient::publish() {
  if (!changed_) return;
  changed_ = false;
  changes_.notify();
}

std::string roundTripText(double milliseconds) {
  if (!(milliseconds > 0)) return "– ms";
  // The bounds are where one decimal would round across them: 0.04 would read "0.0" and 9.96
  // "10.0", which the whole numbers above say as "10".
  if (milliseconds < 0.05) return "<0.1 ms";
  // to_chars, not printf: a Qt application has set the user's locale, whose decimal comma
  // would change the text.
  char digits[400];
  const auto end = std::to_chars(digits, digits + sizeof digits, milliseconds,
                                 std::chars_format::fixed, milliseconds < 9.95 ? 1 : 0)
                       .ptr;
  return std::string(digits, end) + " ms";
}

}  // namespace veltra
