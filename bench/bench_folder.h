// A fresh folder for one benchmark's files.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

// Made under the system's temporary folder; empty, the benchmark skipped,
// when none can be made.
inline std::string bench_folder(benchmark::State& state, const std::string& name) {
    std::string dir = (std::filesystem::temp_directory_path() / (name + "_XXXXXX")).string();
    if (!mkdtemp(dir.data())) {
        state.SkipWithError("mkdtemp failed");
        return "";
    }
    return dir;
}
