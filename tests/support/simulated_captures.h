// Captures of the simulated signal made in process, and their figures summed
// by the same code capture_inspect runs on a file.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "figures.h"
#include "receive_signal.h"
#include "scan.h"

namespace test_support {

// `frames` frames of the signal `settings` describes, at 2 MS/s.
inline std::vector<std::int16_t> capture(const orlix_sim::SignalSettings& settings,
                                         std::uint64_t frames) {
    std::vector<std::int16_t> samples(4 * frames);
    orlix_sim::fill_signal(settings, {2e6, 2e6}, samples.data(), 0, 2 * frames);
    return samples;
}

// The figures of a capture, read from a file in memory on two threads (and
// read again where a fit needs it).
inline CaptureFigures figures_of(const std::vector<std::int16_t>& samples,
                                 const Reference& reference = {}) {
    const int fd = memfd_create("capture", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    const std::size_t bytes = samples.size() * sizeof(std::int16_t);
    EXPECT_EQ(write(fd, samples.data(), bytes), static_cast<ssize_t>(bytes));
    lseek(fd, 0, SEEK_SET);
    const ScanResult scan = scan_capture(fd, 2, false);
    EXPECT_EQ(scan.error, "");
    const CaptureFigures f = figures_from(scan.sums, reference, {fd, nullptr, scan.sums.frames}, 2);
    close(fd);
    return f;
}

}  // namespace test_support
