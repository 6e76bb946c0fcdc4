// The window's speaker against a private sound server with a null sink, as each virtual display
// has one, whose monitor parecord records.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "harness/processes.h"
#include "view/PulseAudioOutput.h"

namespace veltra::test {
namespace {

constexpr size_t kStep = AudioJitterBuffer::kStepFrames;

// Whether `recording` (interleaved s16le stereo) holds 100 ms of the 1 kHz tone on the left with
// silence on the right: 200 zero crossings, as played at 48 kHz.
bool heardTone(const std::vector<int16_t>& recording) {
  size_t start = 0;
  while (start < recording.size() / 2 && std::abs(recording[2 * start]) < 4'000) ++start;
  start += kStep;  // past the onset
  if (recording.size() / 2 < start + 10 * kStep) return false;
  int crossings = 0, right = 0;
  for (size_t i = start + 1; i < start + 10 * kStep; ++i) {
    crossings += (recording[2 * i] < 0) != (recording[2 * i - 2] < 0);
    right = std::max(right, std::abs(int(recording[2 * i + 1])));
  }
  return std::abs(crossings - 200) <= 2 && right < 64;
}

TEST(PulseAudioOutputTest, PlaysTheBufferAtItsRateAndEndsQuietlyWhenTheServerGoes) {
  TempDirectory folder;
  const std::string dir = folder.path().string(), socket = dir + "/sound";
  Program server(
      "/usr/bin/pulseaudio",
      {"-n", "--daemonize=no", "--use-pid-file=no", "--system=no", "--exit-idle-time=-1", "-L",
       "module-null-sink sink_name=speaker rate=48000 channels=2 format=s16le", "-L",
       "module-native-protocol-unix socket=" + socket + " auth-anonymous=1 auth-cookie-enabled=0"},
      {}, {"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir, "XDG_CONFIG_HOME=" + dir});
  ASSERT_TRUE(waitUntil([&] { return fs::exists(socket); })) << server.errors();
  Program recorder("/usr/bin/parecord",
                   {"--server=unix:" + socket, "--device=speaker.monitor", "--raw",
                    "--format=s16le", "--rate=48000", "--channels=2", dir + "/heard.raw"});

  auto buffer = std::make_shared<AudioJitterBuffer>();
  PulseAudioOutput speaker("unix:" + socket);
  speaker.start(buffer);
  uint32_t sequence = 0;
  std::vector<int16_t> tone(2 * kStep), heard;
  EXPECT_TRUE(waitUntil([&] {
    // Kept topped up, as the network would, 10 ms at a time.
    while (buffer->queuedFrames() < 3 * kStep) {
      for (size_t i = 0; i < kStep; ++i)
        tone[2 * i] = int16_t(8'000 * std::sin(2 * M_PI * double(sequence * kStep + i) / 48));
      buffer->push(sequence++, tone);
    }
    std::ifstream file(dir + "/heard.raw", std::ios::binary | std::ios::ate);
    heard.resize(size_t(std::max<std::streamoff>(file.tellg(), 0)) / 2);
    file.seekg(0).read(reinterpret_cast<char*>(heard.data()), std::streamsize(2 * heard.size()));
    return heardTone(heard);
  })) << heard.size() / 2
      << " frames heard";
  EXPECT_EQ(threadNames().count("veltra.speaker"), 1u);

  // The server killed: the speaker's thread ends by itself, and stop() has nothing to wait for.
  server.signal(SIGKILL);
  EXPECT_TRUE(waitUntil([&] { return threadNames().count("veltra.speaker") == 0; }));
  speaker.stop();
}

}  // namespace
}  // namespace veltra::test
