#include <gtest/gtest.h>

#include <QImage>
#include <set>

#include "harness/sound.h"
#include "harness/xvfb.h"
#include "programs/program_support.h"
#include "protocol/Base64.h"
#include "protocol/KeyFile.h"

namespace veltra {
namespace {

using namespace test;

std::vector<ProcessRecord> descendantsOf(pid_t parent) {
  std::vector<ProcessRecord> all = childrenOf(parent);
  for (size_t i = 0; i < all.size(); ++i) {
    for (const ProcessRecord& child : childrenOf(all[i].pid)) all.push_back(child);
  }
  return all;
}

// The key shows up nowhere another local user, a crash report or a backup could find it. Bound to
// 127.0.0.1, the host must not answer on 127.0.0.2, as one on every interface would.
TEST(Programs, HostStreamsTheTestPatternToRemoteKeepsTheKeyHiddenAndStopsCleanly) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  const fs::path keyFile = scratch.path() / "config" / "veltra" / "host-key";
  RunningHost host({}, kTestPattern, {"--key-file", keyFile.string(), "--bind", "127.0.0.1"});
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
  const std::string key = readKeyFile(keyFile);
  const std::optional<Bytes> raw = base64Decode(key);
  ASSERT_TRUE(raw && raw->size() == 32) << key;
  const std::string rawKey(raw->begin(), raw->end());
  const auto holdsKey = [&](const std::string& bytes) {
    return bytes.find(key) != std::string::npos || bytes.find(rawKey) != std::string::npos;
  };

  const fs::path snapshot = scratch.path() / "snap.png", csv = scratch.path() / "latency.csv";
  Program remote(VELTRA_REMOTE_PROGRAM,
                 {"--headless", "--address=127.0.0.1", "--port", host.port,
                  "--key-file=" + keyFile.string(), "--mode", "1920x1080@60", "--seconds", "4",
                  "--snapshot", snapshot.string(), "--latency", csv.string(), "--warm-up", "1"});
  ASSERT_TRUE(host.program.waitForLine("Streaming 1920×1080 · requested 60 fps"))
      << joined(host.program.lines()) << host.program.errors();

  // The test pattern may still be on its way through the session's shell.
  std::vector<ProcessRecord> started;
  EXPECT_TRUE(waitUntil([&] {
    started = descendantsOf(host.program.pid());
    return std::any_of(started.begin(), started.end(), [](const ProcessRecord& process) {
      return process.name == "veltra-test-pat";
    });
  }));
  const std::optional<fs::path> folder = displayFolder(host.program.pid());
  ASSERT_TRUE(folder && fs::is_directory(*folder));

  std::vector<ProcessRecord> processes = started;
  for (pid_t pid : {host.program.pid(), remote.pid()}) {
    if (auto process = readProcess(pid)) processes.push_back(*process);
  }
  std::set<fs::path> files;
  for (const auto& entry : fs::directory_iterator(*folder)) files.insert(entry.path());
  for (const ProcessRecord& process : processes) {
    SCOPED_TRACE(process.name);
    const fs::path directory = fs::path("/proc") / std::to_string(process.pid);
    for (const std::string& argument : process.arguments) EXPECT_FALSE(holdsKey(argument));
    EXPECT_FALSE(holdsKey(readBytes(directory / "environ")));
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory / "fd", error)) {
      const fs::path target = fs::read_symlink(entry.path(), error);
      if (!error && target.is_absolute() && fs::is_regular_file(target, error)) {
        files.insert(target);
      }
    }
  }
  for (const fs::path& file : files) EXPECT_FALSE(holdsKey(readBytes(file))) << file;

  EXPECT_EQ(remote.waitForExit(), 0) << joined(remote.lines()) << remote.errors();
  const std::vector<std::string>& lines = remote.lines();
  EXPECT_NE(joined(lines).find("Connecting and authenticating…\nAuthenticated · preparing remote "
                               "display…\n" +
                               kConnected + "\n"),
            std::string::npos)
      << joined(lines);
  // Far more pictures in a second than the three a host sends unacknowledged: acks arrive.
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    int rate = 0;
    return std::sscanf(line.c_str(), "decoded %d fps", &rate) == 1 && rate >= 10;
  })) << joined(lines);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("latency median ");
  })) << joined(lines);
  EXPECT_FALSE(holdsKey(joined(lines) + remote.errors()));
  EXPECT_EQ(QImage(QString::fromStdString(snapshot.string())).size(), QSize(1920, 1080));

  // One clock, a delay under a few seconds. A capture that caught the pattern mid-draw reads as
  // no stamp; that must stay rare.
  std::ifstream file(csv);
  int pictures = -1, stamped = 0;  // not counting the header
  for (std::string line; std::getline(file, line); ++pictures) {
    long long decoded = 0, drawn = 0, latency = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld,%lld", &decoded, &drawn, &latency) != 3) continue;
    ++stamped;
    EXPECT_TRUE(decoded - drawn == latency && latency > 0 && latency < 5'000'000) << line;
  }
  EXPECT_GT(pictures, 0);
  EXPECT_GE(stamped * 10, pictures * 9) << stamped << " of " << pictures << " stamped";

  EXPECT_TRUE(host.program.waitForLine([&](const std::string& text) {
    return text.ends_with(" · listening on " + host.port);
  })) << joined(host.program.lines());
  EXPECT_TRUE(asio::ip::tcp::iostream("127.0.0.1", host.port));
  EXPECT_FALSE(asio::ip::tcp::iostream("127.0.0.2", host.port));
  host.program.signal(SIGINT);
  EXPECT_EQ(host.program.waitForExit(), 0) << host.program.errors();
  const std::string hostOutput = joined(host.program.lines());
  EXPECT_TRUE(hostOutput.ends_with("\nStopped\n")) << hostOutput;
  for (const ProcessRecord& process : started) {
    EXPECT_FALSE(stillRunning(process)) << process.name << " " << process.pid;
  }
  EXPECT_FALSE(fs::exists(*folder));
  EXPECT_FALSE(holdsKey(hostOutput + host.program.errors()));
}

// A program in the session plays a tone; the headless client's file holds it, in real time.
TEST(Programs, SoundPlayedInTheSessionReachesTheHeadlessClientsFile) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  const fs::path tone = scratch.path() / "tone.raw", heard = scratch.path() / "heard.wav";
  const std::vector<int16_t> samples = sine(8'000, 1.5);
  std::ofstream(tone, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * 2));
  // Played once the stream runs: the sound of a display travels only while a client listens.
  RunningHost host({},
                   "sh -c 'sleep 2; exec paplay --raw --format=s16le --rate=48000 --channels=2 " +
                       tone.string() + "'");
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
  Program remote = host.remote({"--seconds", "6", "--audio", heard.string()});
  EXPECT_EQ(remote.waitForExit(), 0) << joined(remote.lines()) << remote.errors();

  const std::vector<int16_t> wav = readWav(heard);
  EXPECT_GT(wav.size(), 2u * 48'000 * 4) << "not written in real time";
  const auto loud = [](int16_t sample) { return std::abs(sample) > 2'000; };
  const auto first = std::find_if(wav.begin(), wav.end(), loud);
  ASSERT_NE(first, wav.end()) << "no sound in " << wav.size() / 2 << " frames";
  const auto last = std::find_if(wav.rbegin(), wav.rend(), loud).base();
  EXPECT_NEAR(double(last - first) / 2 / 48'000, 1.5, 0.15);
  const std::span<const int16_t> middle(first + 2 * 48'000 / 2, 2 * 48'000 / 2);
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_NEAR(toneOf(middle, channel).hertz, 440, 15);
    EXPECT_NEAR(20 * std::log10(toneOf(middle, channel).rms / (8'000 / std::sqrt(2))), 0, 2);
  }
}

}  // namespace
}  // namespace veltra
