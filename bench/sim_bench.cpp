// How fast the simulated device fills a receive buffer: twin_capture's one call
// of 20,000,000 samples must run at 1 GB/s or more, with the default signal and
// with every impairment on. memset on the same buffer is the yardstick.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device.h"
#include "orlix.h"

namespace {

constexpr unsigned kTwinCaptureSamples = 20'000'000;

// Every impairment at once, so each one's cost shows in the figure.
constexpr const char* kImpaired =
    "ch1.drift=1,ch0.dc_i=40,ch1.dc_q=-30,ch0.iq_gain_db=1.5,ch1.iq_phase_deg=3,"
    "noise=20,stuck=1000:500,drop=5000000:777,seed=7";

void fill_through_device(benchmark::State& state, const char* signal) {
    if (signal)
        setenv("ORLIX_SIM_SIGNAL", signal, 1);
    else
        unsetenv("ORLIX_SIM_SIGNAL");
    orlix_sim::reset();
    const unsigned samples = static_cast<unsigned>(state.range(0));
    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_CRITICAL);
    orlix_device* dev = nullptr;
    if (orlix_open(&dev, "sim") != 0 ||
        orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, 5120, 16384, 64, 3500) != 0 ||
        orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true) != 0 ||
        orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true) != 0) {
        state.SkipWithError("cannot set up the simulated device");
        if (dev) orlix_close(dev);
        unsetenv("ORLIX_SIM_SIGNAL");
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
    unsetenv("ORLIX_SIM_SIGNAL");
}

}  // namespace

static void BM_MemsetTwinCaptureSize(benchmark::State& state) {
    const std::size_t bytes = 4 * static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> buffer(bytes, 1);
    unsigned char value = 0;
    for (auto _ : state) {
        std::memset(buffer.data(), ++value, bytes);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_MemsetTwinCaptureSize)->Arg(kTwinCaptureSamples)->Unit(benchmark::kMillisecond);

static void BM_SyncRxTwinCaptureSize(benchmark::State& state) {
    fill_through_device(state, nullptr);
}
BENCHMARK(BM_SyncRxTwinCaptureSize)->Arg(kTwinCaptureSamples)->Unit(benchmark::kMillisecond);

static void BM_SyncRxTwinCaptureSizeImpaired(benchmark::State& state) {
    fill_through_device(state, kImpaired);
}
BENCHMARK(BM_SyncRxTwinCaptureSizeImpaired)
    ->Arg(kTwinCaptureSamples)
    ->Unit(benchmark::kMillisecond);
