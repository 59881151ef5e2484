// The capture that twin_capture writes and capture_inspect reads: the one
// contract between two programs, and what the simulated receiver delivers.
#pragma once

#include <cstddef>
#include <cstdint>

// The file, in the working folder.
constexpr const char* kCaptureName = "dual_test.bin";

// A frame: I and Q of receive channel 0, then of receive channel 1, each a
// signed 16-bit little-endian value; no header, nothing between frames.
constexpr std::size_t kCaptureChannels = 2;
constexpr std::size_t kFrameValues = 2 * kCaptureChannels;
constexpr std::size_t kFrameBytes = kFrameValues * sizeof(std::int16_t);

// The converter's 12 bits: a tone of amplitude 2048 is full scale (0 dBFS),
// and a value at the clip level or beyond is clipped.
constexpr int kSampleBits = 12;
constexpr double kFullScale = 2048.0;
constexpr int kClipLevel = 2047;
constexpr int kLowestValue = -2048;

// How twin_capture captures: 10,000,000 frames at 2 MS/s around 915 MHz.
constexpr std::uint64_t kCaptureFrames = 10'000'000;
constexpr std::uint32_t kCaptureSampleRate = 2'000'000;
constexpr std::uint64_t kCaptureFrequency = 915'000'000;

// The largest tone offset a generator may be said to set (--expected_tone),
// in hertz either way: what capture_inspect takes, and a station with it.
constexpr double kExpectedToneMostHz = 1e12;
