// How fast the simulated device fills a receive buffer: twin_capture's one call
// of 20,000,000 samples must run at memory speed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "orlix.h"

static void BM_SyncRxTwinCaptureSize(benchmark::State& state) {
    const unsigned samples = static_cast<unsigned>(state.range(0));
    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_CRITICAL);
    orlix_device* dev = nullptr;
    if (orlix_open(&dev, "sim") != 0 ||
        orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, 5120, 16384, 64, 3500) != 0 ||
        orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true) != 0 ||
        orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true) != 0) {
        state.SkipWithError("cannot set up the simulated device");
        return;
    }
    std::vector<std::int16_t> buffer(2 * static_cast<std::size_t>(samples));
    std::memset(buffer.data(), 0, buffer.size() * sizeof(std::int16_t));  // fault the pages in
    for (auto _ : state) {
        if (orlix_sync_rx(dev, buffer.data(), samples, nullptr, 5000) != 0) {
            state.SkipWithError("sync_rx failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * samples * 4);
    orlix_close(dev);
}
BENCHMARK(BM_SyncRxTwinCaptureSize)->Arg(20'000'000)->Unit(benchmark::kMillisecond);
