// Drives one VideoDecoder through a script of records, each chosen by its first byte:
//   0: videoFrame   u16 length, payload            -> decode()
//   1: raw format   u16 width, u16 height, u16 length, sps, u16 length, pps -> configure()
//   2: JSON format  u16 length, videoFormat JSON   -> configure()
//   3: stop()
// (other values wrap around; lengths are big-endian and cut short at the end of the input).
// Besides not crashing or reading out of bounds: only RemoteError (and JsonError from the JSON
// reader) may escape, and every picture handed out must be a drawable one of a sane size.

#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/VideoDecoder.h"
#include "fuzz_support.h"
#include "protocol/RemoteError.h"
#include "protocol/VideoFormat.h"

namespace {

using namespace veltra;
using fuzz::check;

void inspect(const RemoteFrame& frame) {
  check(frame.width() >= 1 && frame.width() <= 4096);
  check(frame.height() >= 1 && frame.height() <= 4096);
  check(frame.planeCount() == 2 || frame.planeCount() == 3);
  for (int plane = 0; plane < frame.planeCount(); ++plane) {
    const int rows = plane == 0 ? frame.height() : (frame.height() + 1) / 2;
    const int bytes =
        plane == 0 || frame.planeCount() == 2 ? frame.width() : (frame.width() + 1) / 2;
    check(frame.plane(plane) != nullptr && frame.stride(plane) >= bytes);
    // The first and last byte of the plane: AddressSanitizer objects if they are not ours.
    [[maybe_unused]] volatile uint8_t first = frame.plane(plane)[0];
    [[maybe_unused]] volatile uint8_t last =
        frame.plane(plane)[static_cast<ptrdiff_t>(rows - 1) * frame.stride(plane) + bytes - 1];
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader reader(ByteView(data, size));
  VideoDecoder decoder;
  decoder.onFrame = [](std::shared_ptr<const RemoteFrame> frame) {
    check(frame != nullptr);
    inspect(*frame);
  };
  decoder.onFailure = [](std::string message) {
    check(message.rfind("Video decode callback failed: -", 0) == 0);
  };
  while (reader.left() > 0) {
    try {
      switch (reader.byte() % 4) {
        case 0:
          decoder.decode(reader.bytes(reader.u16()));
          break;
        case 1: {
          VideoFormat format{.sps = {}, .pps = {}, .width = reader.u16(), .height = reader.u16()};
          for (Bytes* set : {&format.sps, &format.pps}) {
            const ByteView bytes = reader.bytes(reader.u16());
            set->assign(bytes.begin(), bytes.end());
          }
          decoder.configure(format);
          break;
        }
        case 2:
          decoder.configure(VideoFormat::decodeJson(reader.bytes(reader.u16())));
          break;
        case 3:
          decoder.stop();
          check(decoder.decoderName().empty());
          break;
      }
    } catch (const RemoteError&) {
    } catch (const JsonError&) {
    }
  }
  return 0;
}
