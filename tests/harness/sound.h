#pragma once

// Sound for the tests of the audio path: a known tone, and what a stretch of samples holds.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace veltra::test {

// `seconds` of a `hertz` sine at `amplitude` (of 32767), 48 kHz stereo, interleaved.
inline std::vector<int16_t> sine(int amplitude, double seconds, double hertz = 440) {
  std::vector<int16_t> samples;
  for (int i = 0; i < int(48'000 * seconds); ++i) {
    const auto sample = int16_t(amplitude * std::sin(2 * M_PI * hertz * i / 48'000));
    samples.insert(samples.end(), {sample, sample});
  }
  return samples;
}

// The frequency (by zero crossings) and the root mean square of one channel of interleaved
// stereo samples.
struct Tone {
  double hertz = 0;
  double rms = 0;
};
inline Tone toneOf(std::span<const int16_t> stereo, int channel) {
  int crossings = 0;
  double power = 0;
  const size_t frames = stereo.size() / 2;
  for (size_t i = 1; i < frames; ++i) {
    crossings += (stereo[2 * (i - 1) + channel] < 0) != (stereo[2 * i + channel] < 0);
    power += double(stereo[2 * i + channel]) * stereo[2 * i + channel];
  }
  if (frames < 2) return {};
  return {crossings / 2.0 / (frames / 48'000.0), std::sqrt(power / double(frames - 1))};
}

// The samples of a 48 kHz stereo 16-bit WAV file with the 44-byte header; empty when it is not
// one.
inline std::vector<int16_t> readWav(const std::string& path) {
  std::vector<int16_t> samples;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return samples;
  unsigned char header[44];
  if (std::fread(header, 1, 44, file) == 44 && std::string(header + 36, header + 40) == "data" &&
      header[22] == 2 && header[34] == 16) {
    int16_t chunk[4096];
    for (size_t got; (got = std::fread(chunk, 2, 4096, file)) > 0;)
      samples.insert(samples.end(), chunk, chunk + got);
  }
  std::fclose(file);
  return samples;
}

}  // namespace veltra::test
