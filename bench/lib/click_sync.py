#!/usr/bin/env python3
"""Sound latency and picture-to-sound sync from one `veltra-test-pattern --click` session.

    click_sync.py WAV CSV T0_US [--threshold N]

WAV is what `veltra-remote --audio` wrote (48 kHz, 16-bit; sample n played at T0 + n / 48 kHz),
CSV its `--latency` record (decoded_us,drawn_us,latency_us), T0_US the client's "sound: first
sample at" time. All times are CLOCK_MONOTONIC microseconds of one machine.

A click's onset is the first sample louder than the threshold after at least 150 ms of quiet.
The test pattern wrote it when it drew the first picture stamped in a new second, so the click
belongs to the whole second before its onset, and its flash picture is the CSV row with the
first stamp at or after that second:
  sound latency = onset - drawn_us   (the pattern's write to the client's output)
  offset        = onset - decoded_us (positive: the sound came after the picture)
It prints the figures, then a last line that is a markdown table row. Standard library only.
"""

import argparse
import array
import csv
import statistics
import sys
import wave

QUIET_US = 150_000
# A flash is taken only when the picture before it came at most this many picture intervals
# earlier. A longer gap means a picture may be missing from the record (drawn over before the host
# captured it, as a stalled pattern catches up, or its stamp unread), and the missing one may be
# the flash: a later picture would then stand in for it and cut the latency by a frame or more.
LONGEST_GAP = 1.5


def percentile(values, share):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    at = share * (len(ordered) - 1)
    low = int(at)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (at - low)


def onsets(path, threshold):
    """(onset sample index, peak) of every click, and the file's length in frames and rate."""
    with wave.open(path, "rb") as wav:
        if wav.getsampwidth() != 2:
            sys.exit(f"{path}: not 16-bit PCM")
        channels, rate, frames = wav.getnchannels(), wav.getframerate(), wav.getnframes()
        samples = array.array("h")
        samples.frombytes(wav.readframes(frames))
    if sys.byteorder == "big":
        samples.byteswap()
    frames = len(samples) // channels
    block = rate // 100 * channels  # 10 ms: max() and min() of a slice run in C
    quiet_frames = QUIET_US * rate // 1_000_000
    found = []
    last_loud = -quiet_frames - 1  # in frames
    for start in range(0, len(samples), block):
        chunk = samples[start:start + block]
        if max(chunk) <= threshold and -min(chunk) <= threshold:
            continue
        for offset, value in enumerate(chunk):
            if abs(value) > threshold:
                frame = (start + offset) // channels
                if frame - last_loud > quiet_frames:
                    peak = max(abs(v) for v in samples[start + offset:start + offset + block])
                    found.append((frame, peak))
                last_loud = frame
    return found, frames, rate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("wav")
    parser.add_argument("csv")
    parser.add_argument("t0", type=int)
    parser.add_argument("--threshold", type=int, default=6000)
    parser.add_argument("--label", default="")
    parser.add_argument("--clicks", help="write each click's figures to this CSV")
    args = parser.parse_args()

    clicks, frames, rate = onsets(args.wav, args.threshold)
    end_us = args.t0 + frames * 1_000_000 // rate
    drawn = []  # (drawn_us, decoded_us)
    with open(args.csv, newline="") as file:
        for row in csv.DictReader(file):
            if row["drawn_us"]:
                drawn.append((int(row["drawn_us"]), int(row["decoded_us"])))
    drawn.sort()

    intervals = [b[0] - a[0] for a, b in zip(drawn, drawn[1:])]
    interval = statistics.median(intervals) if intervals else 0

    def flash(second_us):
        """The picture stamped first at or after the second, as (drawn_us, decoded_us), if no
        picture may be missing just before it."""
        low, high = 0, len(drawn)
        while low < high:
            middle = (low + high) // 2
            if drawn[middle][0] < second_us:
                low = middle + 1
            else:
                high = middle
        if low == 0 or low == len(drawn):
            return None
        if drawn[low][0] - drawn[low - 1][0] > LONGEST_GAP * interval:
            return None
        return drawn[low]

    # The seconds whose click the file should hold: a full one after the sound started (the
    # session's sound comes up once the client is in), half a second before the file ends, and
    # while pictures came.
    expected = set()
    if drawn:
        first = max(args.t0 + 1_000_000, drawn[0][0]) // 1_000_000 + 1
        last = min(end_us - 500_000, drawn[-1][0]) // 1_000_000
        expected = set(range(first, last + 1))

    latency, offset, peaks, times, rows = [], [], [], [], []
    heard = set()
    stray = unflashed = 0
    for frame, peak in clicks:
        onset_us = args.t0 + frame * 1_000_000 // rate
        # The click belongs to the second before its onset unless the sound took over a second.
        second = onset_us // 1_000_000
        if second not in expected:
            continue
        if second in heard:
            stray += 1
            continue
        heard.add(second)
        picture = flash(second * 1_000_000)
        if picture is None:
            unflashed += 1
            continue
        drawn_us, decoded_us = picture
        latency.append((onset_us - drawn_us) / 1000)
        offset.append((onset_us - decoded_us) / 1000)
        peaks.append(peak)
        times.append((onset_us - args.t0) / 1e6)
        rows.append((second, onset_us, drawn_us, decoded_us, peak))
    if args.clicks:
        with open(args.clicks, "w", newline="") as file:
            out = csv.writer(file)
            out.writerow(["second", "onset_us", "drawn_us", "decoded_us", "latency_ms",
                          "offset_ms", "peak"])
            for second, onset_us, drawn_us, decoded_us, peak in rows:
                out.writerow([second, onset_us, drawn_us, decoded_us,
                              (onset_us - drawn_us) / 1000, (onset_us - decoded_us) / 1000, peak])
    missed = len(expected - heard)

    print(f"clicks: {len(heard)} found of {len(expected)} expected, {missed} missed, "
          f"{stray} stray onsets, {unflashed} left out (their flash picture possibly not in the record); "
          f"threshold {args.threshold}, peaks {min(peaks, default=0)}..{max(peaks, default=0)}")
    if not latency:
        print("no click matched a flash picture")
        print(f"| {args.label} | {len(latency)}/{len(expected)} | | | | | | |")
        return 1
    # Latency creeping up or the file's clock drifting shows as a slope over the run.
    slope = 0.0
    if len(times) > 2 and statistics.pvariance(times) > 0:
        slope = statistics.linear_regression(times, latency).slope * 60
    half = len(latency) // 2
    print(f"sound latency (pattern's write to client's output): median {statistics.median(latency):.1f} ms"
          f" · p95 {percentile(latency, 0.95):.1f} ms · min {min(latency):.1f} · max {max(latency):.1f}"
          f" · trend {slope:+.1f} ms/min"
          + (f" · first half {statistics.median(latency[:half]):.1f} / second half "
             f"{statistics.median(latency[half:]):.1f} ms" if half else ""))
    print(f"picture-to-sound offset (sound after picture +): p5 {percentile(offset, 0.05):+.1f} ms"
          f" · median {statistics.median(offset):+.1f} ms · p95 {percentile(offset, 0.95):+.1f} ms")
    print(f"| {args.label} | {len(latency)}/{len(expected)} | {statistics.median(latency):.1f}"
          f" | {percentile(latency, 0.95):.1f} | {percentile(offset, 0.05):+.1f}"
          f" | {statistics.median(offset):+.1f} | {percentile(offset, 0.95):+.1f} | {slope:+.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
