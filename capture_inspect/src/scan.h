// Reading a capture once, in order, and summing it on several threads: fixed
// chunks, whatever the number of threads, summed each on its own and joined in
// chunk order, so that the figures are the same to the last bit on any number
// of them. Memory is bounded by the threads, not the capture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sums.h"

struct ScanResult {
    CaptureSums sums;
    std::uint64_t bytes = 0;     // read, in all
    std::string sha512;          // in hex, when asked for
    std::string error;           // why reading failed; empty when it did not
    bool partial_frame = false;  // the bytes are no whole number of frames
    // The first kFitHeadFrames frames, when asked to keep them: a capture
    // that cannot be read twice is fitted over these.
    std::vector<std::int16_t> kept;
};

// The processors this process may run on.
unsigned available_processors();

// Reads `fd` to its end on `jobs` threads; with `hash`, the SHA-512 of every
// byte in order on a thread of its own; with `keep`, the first frames.
ScanResult scan_capture(int fd, unsigned jobs, bool hash, bool keep = false);
