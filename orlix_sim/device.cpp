// The simulated device: one device, kept in process-wide state, that checks its
// arguments like hardware would. Controls for tests and test rigs come from the
// ORLIX_SIM_* environment variables, read once at the first call.
#include "device.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>

#include "controls.h"
#include "files.h"
#include "log.h"
#include "orlix.h"
#include "receive_signal.h"

// Sample buffers are copied to and from files as they lie in memory.
static_assert(std::endian::native == std::endian::little, "the simulated device is little-endian");

namespace orlix_sim {
namespace {

struct StatusText {
    int status;
    const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {0, "Success"},
    {ORLIX_ERR_UNEXPECTED, "Unexpected failure"},
    {ORLIX_ERR_RANGE, "Value out of range"},
    {ORLIX_ERR_INVAL, "Invalid argument"},
    {ORLIX_ERR_NODEV, "No device found"},
    {ORLIX_ERR_IO, "Input/output error"},
    {ORLIX_ERR_BUSY, "Device already open"},
    {ORLIX_ERR_STATE, "Not valid in the device's current state"},
    {ORLIX_ERR_FPGA, "FPGA image could not be loaded"},
    {ORLIX_ERR_TIMEOUT, "Operation timed out"},
};

// What the simulated hardware accepts.
constexpr unsigned kNumChannels = 4;  // RX0, TX0, RX1, TX1
constexpr orlix_frequency kMinFrequency = 70'000'000;
constexpr orlix_frequency kMaxFrequency = 6'000'000'000;
constexpr orlix_sample_rate kMinSampleRate = 160'000;
constexpr orlix_sample_rate kMaxSampleRate = 61'440'000;
constexpr orlix_bandwidth kMinBandwidth = 200'000;
constexpr orlix_bandwidth kMaxBandwidth = 56'000'000;
constexpr orlix_gain kMinGain = -24;
constexpr orlix_gain kMaxGain = 76;
constexpr unsigned kBufferSizeStep = 1024;

// ---- device state ------------------------------------------------------------

struct Channel {
    bool enabled = false;
    orlix_frequency frequency = 2'400'000'000;
    orlix_sample_rate sample_rate = 1'000'000;
    orlix_bandwidth bandwidth = 1'000'000;
    orlix_gain_mode gain_mode = ORLIX_GAIN_DEFAULT;
    orlix_gain gain = 0;
};

struct Stream {
    bool configured = false;
    orlix_channel_layout layout = ORLIX_TX_X1;
    orlix_format format = ORLIX_FORMAT_SC16_Q11;
};

struct Device {
    bool open = false;
    std::uintptr_t generation = 0;  // makes every open's handle differ from the last
    std::array<Channel, kNumChannels> channels{};
    Stream rx, tx;
    std::uint64_t rx_position = 0;  // samples delivered since the stream was configured
    orlix_clock_select clock_select = 0;
    orlix_tuning_mode tuning_mode = ORLIX_TUNING_MODE_HOST;

    // The handle is a token, never dereferenced: a stale one is recognised
    // without touching freed memory.
    orlix_device* handle() const {
        return reinterpret_cast<orlix_device*>((generation << 4) | 0x8);
    }
};

Device g_device;

bool valid(const orlix_device* dev, const char* op) {
    if (dev != nullptr && g_device.open && dev == g_device.handle()) return true;
    log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_%s: %s device handle", op,
             dev == nullptr ? "null" : "invalid or closed");
    return false;
}

int fail(int status, const char* op, const char* why) {
    log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_%s: %s", op, why);
    return status;
}

// ---- trace arguments ---------------------------------------------------------

std::string dev_arg(const orlix_device* dev) {
    return dev ? "dev" : "NULL";
}

std::string text_arg(const char* text) {
    if (!text) return "NULL";
    std::string out = "\"";
    out += escaped(text);
    out += '"';
    return out;
}

std::string out_arg(const void* p) {
    return p ? "&out" : "NULL";
}

std::string meta_arg(const orlix_metadata* m) {
    if (!m) return "NULL";
    return "{timestamp=" + std::to_string(m->timestamp) + ", flags=" + std::to_string(m->flags) +
           "}";
}

template <class T>
std::string num(T value) {
    return std::to_string(value);
}

std::string join(std::initializer_list<std::string> args) {
    std::string out;
    for (const std::string& a : args) {
        if (!out.empty()) out += ", ";
        out += a;
    }
    return out;
}

// Runs one call that reaches the device: the delay, the failure injection, the
// call itself and its trace line.
template <class Body>
int device_call(const char* op, const std::string& args, Body body) {
    Controls& c = controls();
    c.delay();
    int status = c.injected(op);
    if (status != 0) {
        log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_%s: injected failure %d", op, status);
    } else {
        status = body();
    }
    c.trace("orlix_" + std::string(op) + "(" + args + ") -> " + std::to_string(status));
    return status;
}

bool channel_exists(orlix_channel ch) {
    return ch < kNumChannels;
}

int set_channel_value(const orlix_device* dev, const char* op, orlix_channel ch,
                      std::uint64_t value, std::uint64_t lo, std::uint64_t hi) {
    if (!valid(dev, op)) return ORLIX_ERR_INVAL;
    if (!channel_exists(ch)) return fail(ORLIX_ERR_INVAL, op, "no such channel");
    if (value < lo || value > hi) return fail(ORLIX_ERR_RANGE, op, "value out of range");
    return 0;
}

// The C interface lets no exception through: an allocation that fails inside a
// call fails that call.
template <class Body>
int shielded(const char* op, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "orlix_%s: out of memory", op);
    } catch (...) {
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "orlix_%s: internal failure", op);
    }
    return ORLIX_ERR_UNEXPECTED;
}

}  // namespace

void reset() {
    forget_controls();
    const std::uintptr_t generation = g_device.generation;
    g_device = Device{};
    g_device.generation = generation;  // handles from before the reset stay stale
    g_verbosity = ORLIX_LOG_LEVEL_WARNING;
    controls();
}

}  // namespace orlix_sim

using namespace orlix_sim;

extern "C" {

void orlix_log_set_verbosity(orlix_log_level level) {
    shielded("log_set_verbosity", [&] {
        controls().trace("orlix_log_set_verbosity(" + num(static_cast<int>(level)) + ")");
        g_verbosity = static_cast<int>(level);
        return 0;
    });
}

const char* orlix_strerror(int status) {
    for (const StatusText& s : kStatusTexts) {
        if (s.status == status) return s.text;
    }
    return "Unknown error";
}

int orlix_open(orlix_device** device, const char* device_identifier) {
    if (device) *device = nullptr;  // stays null on every failure, injected ones too
    const int status = shielded("open", [&] {
        return device_call("open", text_arg(device_identifier), [&] {
            if (!device) return fail(ORLIX_ERR_INVAL, "open", "null handle address");
            if (controls().broken) {
                return fail(ORLIX_ERR_INVAL, "open", "an ORLIX_SIM_* control is unusable");
            }
            const char* id = device_identifier ? device_identifier : "";
            if (*id != '\0' && std::strncmp(id, "sim", 3) != 0) {
                log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_open: no device matches \"%s\"",
                         escaped(id).c_str());
                return ORLIX_ERR_NODEV;
            }
            if (g_device.open) return fail(ORLIX_ERR_BUSY, "open", "the device is already open");
            const std::uintptr_t generation = g_device.generation + 1;
            g_device = Device{};
            g_device.generation = generation;
            g_device.open = true;
            *device = g_device.handle();
            log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_open: opened the simulated device");
            return 0;
        });
    });
    if (status != 0 && device && *device) {  // opened, then failed on its trace
        g_device.open = false;
        *device = nullptr;
    }
    return status;
}

void orlix_close(orlix_device* device) {
    shielded("close", [&] {
        Controls& c = controls();
        if (device) {
            c.delay();
            if (valid(device, "close")) {
                g_device.open = false;
                log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_close: closed the simulated device");
            }
        }
        c.trace("orlix_close(" + dev_arg(device) + ")");
        return 0;
    });
}

int orlix_load_fpga(orlix_device* dev, const char* fpga_file) {
    return shielded("load_fpga", [&] {
        return device_call("load_fpga", join({dev_arg(dev), text_arg(fpga_file)}), [&] {
            if (!valid(dev, "load_fpga")) return ORLIX_ERR_INVAL;
            if (!fpga_file) return fail(ORLIX_ERR_INVAL, "load_fpga", "null image path");
            FILE* f = std::fopen(fpga_file, "rbe");
            if (!f) {
                log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_load_fpga: cannot read \"%s\": %s",
                         escaped(fpga_file).c_str(), std::strerror(errno));
                return ORLIX_ERR_IO;
            }
            const int first = std::fgetc(f);
            const bool read_error = std::ferror(f) != 0;
            std::fclose(f);
            if (read_error) return fail(ORLIX_ERR_IO, "load_fpga", "the image cannot be read");
            if (first == EOF) return fail(ORLIX_ERR_FPGA, "load_fpga", "the image is empty");
            // A new image starts with no stream and every channel off.
            for (Channel& ch : g_device.channels) ch.enabled = false;
            g_device.rx = Stream{};
            g_device.tx = Stream{};
            log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_load_fpga: loaded \"%s\"",
                     escaped(fpga_file).c_str());
            return 0;
        });
    });
}

int orlix_set_frequency(orlix_device* dev, orlix_channel ch, orlix_frequency frequency) {
    return shielded("set_frequency", [&] {
        return device_call("set_frequency", join({dev_arg(dev), num(ch), num(frequency)}), [&] {
            const int status = set_channel_value(dev, "set_frequency", ch, frequency, kMinFrequency,
                                                 kMaxFrequency);
            if (status == 0) g_device.channels[ch].frequency = frequency;
            return status;
        });
    });
}

int orlix_set_sample_rate(orlix_device* dev, orlix_channel ch, orlix_sample_rate rate,
                          orlix_sample_rate* actual) {
    return shielded("set_sample_rate", [&] {
        return device_call(
            "set_sample_rate", join({dev_arg(dev), num(ch), num(rate), out_arg(actual)}), [&] {
                const int status = set_channel_value(dev, "set_sample_rate", ch, rate,
                                                     kMinSampleRate, kMaxSampleRate);
                if (status != 0) return status;
                g_device.channels[ch].sample_rate = rate;
                if (actual) *actual = rate;
                return 0;
            });
    });
}

int orlix_set_bandwidth(orlix_device* dev, orlix_channel ch, orlix_bandwidth bandwidth,
                        orlix_bandwidth* actual) {
    return shielded("set_bandwidth", [&] {
        return device_call(
            "set_bandwidth", join({dev_arg(dev), num(ch), num(bandwidth), out_arg(actual)}), [&] {
                const int status = set_channel_value(dev, "set_bandwidth", ch, bandwidth,
                                                     kMinBandwidth, kMaxBandwidth);
                if (status != 0) return status;
                g_device.channels[ch].bandwidth = bandwidth;
                if (actual) *actual = bandwidth;
                return 0;
            });
    });
}

int orlix_set_gain_mode(orlix_device* dev, orlix_channel ch, orlix_gain_mode mode) {
    return shielded("set_gain_mode", [&] {
        return device_call(
            "set_gain_mode", join({dev_arg(dev), num(ch), num(static_cast<int>(mode))}), [&] {
                const int status =
                    set_channel_value(dev, "set_gain_mode", ch, static_cast<unsigned>(mode),
                                      ORLIX_GAIN_DEFAULT, ORLIX_GAIN_AGC);
                if (status == 0) g_device.channels[ch].gain_mode = mode;
                return status;
            });
    });
}

int orlix_set_gain(orlix_device* dev, orlix_channel ch, orlix_gain gain) {
    return shielded("set_gain", [&] {
        return device_call("set_gain", join({dev_arg(dev), num(ch), num(gain)}), [&] {
            if (!valid(dev, "set_gain")) return ORLIX_ERR_INVAL;
            if (!channel_exists(ch)) return fail(ORLIX_ERR_INVAL, "set_gain", "no such channel");
            if (gain < kMinGain || gain > kMaxGain) {
                return fail(ORLIX_ERR_RANGE, "set_gain", "value out of range");
            }
            g_device.channels[ch].gain = gain;
            return 0;
        });
    });
}

int orlix_set_clock_select(orlix_device* dev, orlix_clock_select sel) {
    return shielded("set_clock_select", [&] {
        return device_call("set_clock_select", join({dev_arg(dev), num(sel)}), [&] {
            if (!valid(dev, "set_clock_select")) return ORLIX_ERR_INVAL;
            if (sel != 0 && sel != 1)
                return fail(ORLIX_ERR_INVAL, "set_clock_select", "not 0 or 1");
            g_device.clock_select = sel;
            return 0;
        });
    });
}

int orlix_set_tuning_mode(orlix_device* dev, orlix_tuning_mode mode) {
    return shielded("set_tuning_mode", [&] {
        return device_call(
            "set_tuning_mode", join({dev_arg(dev), num(static_cast<int>(mode))}), [&] {
                if (!valid(dev, "set_tuning_mode")) return ORLIX_ERR_INVAL;
                if (mode != ORLIX_TUNING_MODE_HOST && mode != ORLIX_TUNING_MODE_FPGA) {
                    return fail(ORLIX_ERR_INVAL, "set_tuning_mode", "unknown tuning mode");
                }
                g_device.tuning_mode = mode;
                return 0;
            });
    });
}

int orlix_enable_module(orlix_device* dev, orlix_channel ch, bool enable) {
    return shielded("enable_module", [&] {
        return device_call("enable_module",
                           join({dev_arg(dev), num(ch), enable ? "true" : "false"}), [&] {
                               if (!valid(dev, "enable_module")) return ORLIX_ERR_INVAL;
                               if (!channel_exists(ch)) {
                                   return fail(ORLIX_ERR_INVAL, "enable_module", "no such channel");
                               }
                               g_device.channels[ch].enabled = enable;
                               return 0;
                           });
    });
}

int orlix_sync_config(orlix_device* dev, orlix_channel_layout layout, orlix_format format,
                      unsigned int num_buffers, unsigned int buffer_size,
                      unsigned int num_transfers, unsigned int stream_timeout) {
    return shielded("sync_config", [&] {
        const std::string args =
            join({dev_arg(dev), num(static_cast<int>(layout)), num(static_cast<int>(format)),
                  num(num_buffers), num(buffer_size), num(num_transfers), num(stream_timeout)});
        return device_call("sync_config", args, [&] {
            if (!valid(dev, "sync_config")) return ORLIX_ERR_INVAL;
            if (layout != ORLIX_TX_X1 && layout != ORLIX_RX_X2) {
                return fail(ORLIX_ERR_INVAL, "sync_config", "unknown layout");
            }
            if (format != ORLIX_FORMAT_SC16_Q11 && format != ORLIX_FORMAT_PACKET) {
                return fail(ORLIX_ERR_INVAL, "sync_config", "unknown format");
            }
            if (format == ORLIX_FORMAT_PACKET && layout != ORLIX_TX_X1) {
                return fail(ORLIX_ERR_INVAL, "sync_config",
                            "the packet format needs the single transmit layout");
            }
            if (num_buffers < 2 || num_transfers < 1 || num_transfers >= num_buffers) {
                return fail(ORLIX_ERR_INVAL, "sync_config",
                            "needs 2 or more buffers and fewer transfers than buffers");
            }
            if (buffer_size == 0 || buffer_size % kBufferSizeStep != 0) {
                return fail(ORLIX_ERR_INVAL, "sync_config", "buffer size not a multiple of 1024");
            }
            Stream& stream = layout == ORLIX_RX_X2 ? g_device.rx : g_device.tx;
            stream = Stream{true, layout, format};
            if (layout == ORLIX_RX_X2) g_device.rx_position = 0;
            log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_sync_config: %s stream configured",
                     layout == ORLIX_RX_X2 ? "receive" : "transmit");
            return 0;
        });
    });
}

int orlix_sync_tx(orlix_device* dev, const void* samples, unsigned int num_samples,
                  const orlix_metadata* metadata, unsigned int timeout_ms) {
    return shielded("sync_tx", [&] {
        const std::string args = join({dev_arg(dev), samples ? "buf" : "NULL", num(num_samples),
                                       meta_arg(metadata), num(timeout_ms)});
        return device_call("sync_tx", args, [&] {
            if (!valid(dev, "sync_tx")) return ORLIX_ERR_INVAL;
            if (!g_device.tx.configured) {
                return fail(ORLIX_ERR_STATE, "sync_tx", "the transmit stream is not configured");
            }
            if (!g_device.channels[ORLIX_CHANNEL_TX(0)].enabled) {
                return fail(ORLIX_ERR_STATE, "sync_tx", "the transmit channel is not enabled");
            }
            if (!samples && num_samples > 0) return fail(ORLIX_ERR_INVAL, "sync_tx", "null buffer");
            // A packet word and an SC16 sample are both 4 bytes.
            const std::size_t bytes = static_cast<std::size_t>(num_samples) * 4;
            const int fd = controls().tx_fd;
            if (fd >= 0 && bytes > 0 && !write_all(fd, samples, bytes)) {
                return fail(ORLIX_ERR_IO, "sync_tx", "cannot append to ORLIX_SIM_TX_FILE");
            }
            return 0;
        });
    });
}

int orlix_sync_rx(orlix_device* dev, void* samples, unsigned int num_samples,
                  orlix_metadata* metadata, unsigned int timeout_ms) {
    return shielded("sync_rx", [&] {
        const std::string args = join({dev_arg(dev), samples ? "buf" : "NULL", num(num_samples),
                                       out_arg(metadata), num(timeout_ms)});
        return device_call("sync_rx", args, [&] {
            if (!valid(dev, "sync_rx")) return ORLIX_ERR_INVAL;
            if (!g_device.rx.configured) {
                return fail(ORLIX_ERR_STATE, "sync_rx", "the receive stream is not configured");
            }
            if (!g_device.channels[ORLIX_CHANNEL_RX(0)].enabled ||
                !g_device.channels[ORLIX_CHANNEL_RX(1)].enabled) {
                return fail(ORLIX_ERR_STATE, "sync_rx", "both receive channels must be enabled");
            }
            if (!samples && num_samples > 0) return fail(ORLIX_ERR_INVAL, "sync_rx", "null buffer");
            if (num_samples % 2 != 0) {
                return fail(ORLIX_ERR_INVAL, "sync_rx",
                            "the two-channel layout needs whole frames");
            }
            const std::uint64_t position = g_device.rx_position;
            const std::array<double, 2> rates = {
                static_cast<double>(g_device.channels[ORLIX_CHANNEL_RX(0)].sample_rate),
                static_cast<double>(g_device.channels[ORLIX_CHANNEL_RX(1)].sample_rate)};
            const int status = fill_receive(static_cast<std::int16_t*>(samples), position,
                                            num_samples, rates, timeout_ms);
            if (status != 0) return status;
            if (metadata) {
                *metadata = orlix_metadata{};
                metadata->timestamp = position / 2;
                metadata->actual_count = num_samples;
            }
            g_device.rx_position = position + num_samples;
            return 0;
        });
    });
}

}  // extern "C"
