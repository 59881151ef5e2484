// The simulated device: one device, or a bench of boards that ORLIX_SIM_BENCH
// names, kept in process-wide state, that checks its arguments like hardware
// would. A board of a bench is held by one process at a time, across
// processes, as hardware is. Controls for tests and test rigs come from the
// ORLIX_SIM_* environment variables, read once at the first call.
#include "device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    int hold_fd = -1;  // a board's hold across processes, while open

    // The handle is a token, never dereferenced: a stale one is recognised
    // without touching freed memory.
    orlix_device* handle() const {
        return reinterpret_cast<orlix_device*>((generation << 4) | 0x8);
    }
};

std::uintptr_t g_generation = 0;  // every device's handles differ from all before
Device g_single;                  // without a bench
std::vector<Device> g_boards;     // a bench's boards, in its order

// A device by its board's index: -1 the single device.
Device& device_at(int index) {
    return index < 0 ? g_single : g_boards[static_cast<std::size_t>(index)];
}

// What a handle names: its device and its board's index.
struct Target {
    int index = -1;
    Device* device = nullptr;
};

Target target_of(const orlix_device* dev) {
    if (dev == nullptr) return {};
    if (g_single.open && dev == g_single.handle()) return {-1, &g_single};
    for (std::size_t i = 0; i < g_boards.size(); ++i) {
        if (g_boards[i].open && dev == g_boards[i].handle())
            return {static_cast<int>(i), &g_boards[i]};
    }
    return {};
}

Device* valid(const Target& t, const orlix_device* dev, const char* op) {
    if (t.device != nullptr) return t.device;
    log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_%s: %s device handle", op,
             dev == nullptr ? "null" : "invalid or closed");
    return nullptr;
}

int fail(int status, const char* op, const char* why) {
    log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_%s: %s", op, why);
    return status;
}

void release(Device& d) {
    d.open = false;
    if (d.hold_fd >= 0) ::close(d.hold_fd);  // the hold goes with the descriptor
    d.hold_fd = -1;
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

// Runs one call that reaches device `index` (-1: the single device, or none
// on a bench): its delay, the failure injection, the call itself and its
// trace line, which on a bench names the board.
template <class Body>
int device_call(const char* op, int index, const std::string& args, Body body) {
    Controls& c = controls();
    DeviceControls& d = c.of(index);
    d.delay();
    int status = d.injected(op);
    if (status != 0) {
        log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_%s: injected failure %d", op, status);
    } else {
        status = body();
    }
    const std::string board =
        index < 0 ? "" : "[" + c.bench[static_cast<std::size_t>(index)] + "] ";
    c.trace(board + "orlix_" + std::string(op) + "(" + args + ") -> " + std::to_string(status));
    return status;
}

// ---- the bench's holds -------------------------------------------------------

// The folder of the holds, made when missing. By default it lies in the
// system's temporary folder, where only one of this user's own is taken.
int open_bench_folder(const Controls& c, std::string& why) {
    if (mkdir(c.bench_dir.c_str(), 0700) != 0 && errno != EEXIST) {
        why = std::strerror(errno);
        return -1;
    }
    const int fd = ::open(c.bench_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    if (!c.bench_dir_given && st.st_uid != geteuid()) {
        why = "another user's folder";
        ::close(fd);
        return -1;
    }
    return fd;
}

enum class Hold { taken, busy, failed };

// Takes board `index`'s hold for this process: a lock on its file that the
// kernel drops when the process ends, however it ends. `holder` names the
// process that has it when busy; `why` says what failed.
Hold take_hold(const Controls& c, int index, std::string& holder, std::string& why) {
    const int dir = open_bench_folder(c, why);
    if (dir < 0) return Hold::failed;
    const std::string file = c.bench[static_cast<std::size_t>(index)] + ".hold";
    const int fd = openat(dir, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int open_errno = errno;
    ::close(dir);
    if (fd < 0) {
        why = std::strerror(open_errno);
        return Hold::failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        char pid[32] = "";
        const ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
        if (n > 0) pid[n] = '\0';
        holder = pid;
        ::close(fd);
        why = std::strerror(e);
        return e == EWOULDBLOCK ? Hold::busy : Hold::failed;
    }
    const std::string self = std::to_string(getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, self.data(), self.size(), 0) < 0) {
        // Only the holder's name is lost: the hold stands.
    }
    device_at(index).hold_fd = fd;
    return Hold::taken;
}

// The board of a bench an open names, held for this process: `index` set, or
// the open's failure status. A null or empty string takes the first board
// that is free, in the bench's order, as a library's enumeration would.
int choose_board(const char* id, int& index) {
    const Controls& c = controls();
    std::string holder, why;
    if (*id == '\0') {
        for (std::size_t i = 0; i < c.bench.size(); ++i) {
            if (g_boards[i].open) continue;
            const Hold h = take_hold(c, static_cast<int>(i), holder, why);
            if (h == Hold::taken) {
                index = static_cast<int>(i);
                return 0;
            }
            if (h == Hold::failed) {
                log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_open: the bench's holds in \"%s\": %s",
                         escaped(c.bench_dir).c_str(), why.c_str());
                return ORLIX_ERR_IO;
            }
        }
        return fail(ORLIX_ERR_BUSY, "open", "every board of the bench is open");
    }
    const int named = std::strncmp(id, "sim:", 4) == 0 ? c.board_named(id + 4) : -1;
    if (named < 0) {
        std::string bench;
        for (const std::string& b : c.bench) bench += (bench.empty() ? "" : ",") + b;
        log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_open: no board of the bench %s matches \"%s\"",
                 bench.c_str(), escaped(id).c_str());
        return ORLIX_ERR_NODEV;
    }
    const char* name = c.bench[static_cast<std::size_t>(named)].c_str();
    if (g_boards[static_cast<std::size_t>(named)].open) {
        log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_open: board %s is already open", name);
        return ORLIX_ERR_BUSY;
    }
    switch (take_hold(c, named, holder, why)) {
        case Hold::taken:
            index = named;
            return 0;
        case Hold::busy:
            log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_open: board %s is open in process %s", name,
                     holder.empty() ? "?" : escaped(holder).c_str());
            return ORLIX_ERR_BUSY;
        case Hold::failed:
            break;
    }
    log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_open: the bench's holds in \"%s\": %s",
             escaped(c.bench_dir).c_str(), why.c_str());
    return ORLIX_ERR_IO;
}

bool channel_exists(orlix_channel ch) {
    return ch < kNumChannels;
}

int set_channel_value(Device* d, const char* op, orlix_channel ch, std::uint64_t value,
                      std::uint64_t lo, std::uint64_t hi) {
    if (!d) return ORLIX_ERR_INVAL;
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
    release(g_single);
    for (Device& d : g_boards) release(d);
    g_single = Device{};  // handles from before the reset stay stale: the counter goes on
    g_boards.clear();
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
    int index = -1;                 // the board of a bench chosen, and held
    const int status = shielded("open", [&] {
        Controls& c = controls();
        g_boards.resize(c.bench.size());
        const char* id = device_identifier ? device_identifier : "";
        // A bench's board is chosen before the call reaches it, so that its
        // own controls apply to the open.
        const int refused = device && !c.broken && !c.bench.empty() ? choose_board(id, index) : 0;
        return device_call("open", index, text_arg(device_identifier), [&] {
            if (!device) return fail(ORLIX_ERR_INVAL, "open", "null handle address");
            if (c.broken) {
                return fail(ORLIX_ERR_INVAL, "open", "an ORLIX_SIM_* control is unusable");
            }
            if (refused != 0) return refused;
            if (c.bench.empty() && *id != '\0' && std::strncmp(id, "sim", 3) != 0) {
                log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_open: no device matches \"%s\"",
                         escaped(id).c_str());
                return ORLIX_ERR_NODEV;
            }
            if (c.bench.empty() && g_single.open) {
                return fail(ORLIX_ERR_BUSY, "open", "the device is already open");
            }
            Device& d = device_at(index);
            const int hold = d.hold_fd;
            d = Device{};
            d.generation = ++g_generation;
            d.hold_fd = hold;
            d.open = true;
            *device = d.handle();
            if (index < 0) {
                log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_open: opened the simulated device");
            } else {
                log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_open: opened board %s of the bench",
                         c.bench[static_cast<std::size_t>(index)].c_str());
            }
            return 0;
        });
    });
    // Opened and then failed on its trace, or chosen and then refused by an
    // injected failure: nothing stays open or held.
    if (status != 0 && device && *device) {
        release(device_at(index));
        *device = nullptr;
    } else if (status != 0 && index >= 0) {
        release(device_at(index));
    }
    return status;
}

void orlix_close(orlix_device* device) {
    shielded("close", [&] {
        Controls& c = controls();
        const Target t = target_of(device);
        if (device) {
            c.of(t.index).delay();
            if (Device* d = valid(t, device, "close")) {
                release(*d);
                log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_close: closed the simulated device");
            }
        }
        const std::string board =
            t.index < 0 ? "" : "[" + c.bench[static_cast<std::size_t>(t.index)] + "] ";
        c.trace(board + "orlix_close(" + dev_arg(device) + ")");
        return 0;
    });
}

int orlix_load_fpga(orlix_device* dev, const char* fpga_file) {
    const Target t = target_of(dev);
    return shielded("load_fpga", [&] {
        return device_call("load_fpga", t.index, join({dev_arg(dev), text_arg(fpga_file)}), [&] {
            Device* d = valid(t, dev, "load_fpga");
            if (!d) return ORLIX_ERR_INVAL;
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
            for (Channel& ch : d->channels) ch.enabled = false;
            d->rx = Stream{};
            d->tx = Stream{};
            log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_load_fpga: loaded \"%s\"",
                     escaped(fpga_file).c_str());
            return 0;
        });
    });
}

int orlix_set_frequency(orlix_device* dev, orlix_channel ch, orlix_frequency frequency) {
    const Target t = target_of(dev);
    return shielded("set_frequency", [&] {
        return device_call("set_frequency", t.index, join({dev_arg(dev), num(ch), num(frequency)}),
                           [&] {
                               Device* d = valid(t, dev, "set_frequency");
                               const int status = set_channel_value(
                                   d, "set_frequency", ch, frequency, kMinFrequency, kMaxFrequency);
                               if (status == 0) d->channels[ch].frequency = frequency;
                               return status;
                           });
    });
}

int orlix_set_sample_rate(orlix_device* dev, orlix_channel ch, orlix_sample_rate rate,
                          orlix_sample_rate* actual) {
    const Target t = target_of(dev);
    return shielded("set_sample_rate", [&] {
        return device_call("set_sample_rate", t.index,
                           join({dev_arg(dev), num(ch), num(rate), out_arg(actual)}), [&] {
                               Device* d = valid(t, dev, "set_sample_rate");
                               const int status = set_channel_value(d, "set_sample_rate", ch, rate,
                                                                    kMinSampleRate, kMaxSampleRate);
                               if (status != 0) return status;
                               d->channels[ch].sample_rate = rate;
                               if (actual) *actual = rate;
                               return 0;
                           });
    });
}

int orlix_set_bandwidth(orlix_device* dev, orlix_channel ch, orlix_bandwidth bandwidth,
                        orlix_bandwidth* actual) {
    const Target t = target_of(dev);
    return shielded("set_bandwidth", [&] {
        return device_call("set_bandwidth", t.index,
                           join({dev_arg(dev), num(ch), num(bandwidth), out_arg(actual)}), [&] {
                               Device* d = valid(t, dev, "set_bandwidth");
                               const int status = set_channel_value(
                                   d, "set_bandwidth", ch, bandwidth, kMinBandwidth, kMaxBandwidth);
                               if (status != 0) return status;
                               d->channels[ch].bandwidth = bandwidth;
                               if (actual) *actual = bandwidth;
                               return 0;
                           });
    });
}

int orlix_set_gain_mode(orlix_device* dev, orlix_channel ch, orlix_gain_mode mode) {
    const Target t = target_of(dev);
    return shielded("set_gain_mode", [&] {
        return device_call("set_gain_mode", t.index,
                           join({dev_arg(dev), num(ch), num(static_cast<int>(mode))}), [&] {
                               Device* d = valid(t, dev, "set_gain_mode");
                               const int status = set_channel_value(
                                   d, "set_gain_mode", ch, static_cast<unsigned>(mode),
                                   ORLIX_GAIN_DEFAULT, ORLIX_GAIN_AGC);
                               if (status == 0) d->channels[ch].gain_mode = mode;
                               return status;
                           });
    });
}

int orlix_set_gain(orlix_device* dev, orlix_channel ch, orlix_gain gain) {
    const Target t = target_of(dev);
    return shielded("set_gain", [&] {
        return device_call("set_gain", t.index, join({dev_arg(dev), num(ch), num(gain)}), [&] {
            Device* d = valid(t, dev, "set_gain");
            if (!d) return ORLIX_ERR_INVAL;
            if (!channel_exists(ch)) return fail(ORLIX_ERR_INVAL, "set_gain", "no such channel");
            if (gain < kMinGain || gain > kMaxGain) {
                return fail(ORLIX_ERR_RANGE, "set_gain", "value out of range");
            }
            d->channels[ch].gain = gain;
            return 0;
        });
    });
}

int orlix_set_clock_select(orlix_device* dev, orlix_clock_select sel) {
    const Target t = target_of(dev);
    return shielded("set_clock_select", [&] {
        return device_call("set_clock_select", t.index, join({dev_arg(dev), num(sel)}), [&] {
            Device* d = valid(t, dev, "set_clock_select");
            if (!d) return ORLIX_ERR_INVAL;
            if (sel != 0 && sel != 1)
                return fail(ORLIX_ERR_INVAL, "set_clock_select", "not 0 or 1");
            d->clock_select = sel;
            return 0;
        });
    });
}

int orlix_set_tuning_mode(orlix_device* dev, orlix_tuning_mode mode) {
    const Target t = target_of(dev);
    return shielded("set_tuning_mode", [&] {
        return device_call(
            "set_tuning_mode", t.index, join({dev_arg(dev), num(static_cast<int>(mode))}), [&] {
                Device* d = valid(t, dev, "set_tuning_mode");
                if (!d) return ORLIX_ERR_INVAL;
                if (mode != ORLIX_TUNING_MODE_HOST && mode != ORLIX_TUNING_MODE_FPGA) {
                    return fail(ORLIX_ERR_INVAL, "set_tuning_mode", "unknown tuning mode");
                }
                d->tuning_mode = mode;
                return 0;
            });
    });
}

int orlix_enable_module(orlix_device* dev, orlix_channel ch, bool enable) {
    const Target t = target_of(dev);
    return shielded("enable_module", [&] {
        return device_call("enable_module", t.index,
                           join({dev_arg(dev), num(ch), enable ? "true" : "false"}), [&] {
                               Device* d = valid(t, dev, "enable_module");
                               if (!d) return ORLIX_ERR_INVAL;
                               if (!channel_exists(ch)) {
                                   return fail(ORLIX_ERR_INVAL, "enable_module", "no such channel");
                               }
                               d->channels[ch].enabled = enable;
                               return 0;
                           });
    });
}

int orlix_sync_config(orlix_device* dev, orlix_channel_layout layout, orlix_format format,
                      unsigned int num_buffers, unsigned int buffer_size,
                      unsigned int num_transfers, unsigned int stream_timeout) {
    const Target t = target_of(dev);
    return shielded("sync_config", [&] {
        const std::string args =
            join({dev_arg(dev), num(static_cast<int>(layout)), num(static_cast<int>(format)),
                  num(num_buffers), num(buffer_size), num(num_transfers), num(stream_timeout)});
        return device_call("sync_config", t.index, args, [&] {
            Device* d = valid(t, dev, "sync_config");
            if (!d) return ORLIX_ERR_INVAL;
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
            Stream& stream = layout == ORLIX_RX_X2 ? d->rx : d->tx;
            stream = Stream{true, layout, format};
            if (layout == ORLIX_RX_X2) d->rx_position = 0;
            log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_sync_config: %s stream configured",
                     layout == ORLIX_RX_X2 ? "receive" : "transmit");
            return 0;
        });
    });
}

int orlix_sync_tx(orlix_device* dev, const void* samples, unsigned int num_samples,
                  const orlix_metadata* metadata, unsigned int timeout_ms) {
    const Target t = target_of(dev);
    return shielded("sync_tx", [&] {
        const std::string args = join({dev_arg(dev), samples ? "buf" : "NULL", num(num_samples),
                                       meta_arg(metadata), num(timeout_ms)});
        return device_call("sync_tx", t.index, args, [&] {
            Device* d = valid(t, dev, "sync_tx");
            if (!d) return ORLIX_ERR_INVAL;
            if (!d->tx.configured) {
                return fail(ORLIX_ERR_STATE, "sync_tx", "the transmit stream is not configured");
            }
            if (!d->channels[ORLIX_CHANNEL_TX(0)].enabled) {
                return fail(ORLIX_ERR_STATE, "sync_tx", "the transmit channel is not enabled");
            }
            if (!samples && num_samples > 0) return fail(ORLIX_ERR_INVAL, "sync_tx", "null buffer");
            // A packet word and an SC16 sample are both 4 bytes.
            const std::size_t bytes = static_cast<std::size_t>(num_samples) * 4;
            const int fd = controls().of(t.index).tx_fd;
            if (fd >= 0 && bytes > 0 && !write_all(fd, samples, bytes)) {
                return fail(ORLIX_ERR_IO, "sync_tx", "cannot append to ORLIX_SIM_TX_FILE");
            }
            return 0;
        });
    });
}

int orlix_sync_rx(orlix_device* dev, void* samples, unsigned int num_samples,
                  orlix_metadata* metadata, unsigned int timeout_ms) {
    const Target t = target_of(dev);
    return shielded("sync_rx", [&] {
        const std::string args = join({dev_arg(dev), samples ? "buf" : "NULL", num(num_samples),
                                       out_arg(metadata), num(timeout_ms)});
        return device_call("sync_rx", t.index, args, [&] {
            Device* d = valid(t, dev, "sync_rx");
            if (!d) return ORLIX_ERR_INVAL;
            if (!d->rx.configured) {
                return fail(ORLIX_ERR_STATE, "sync_rx", "the receive stream is not configured");
            }
            if (!d->channels[ORLIX_CHANNEL_RX(0)].enabled ||
                !d->channels[ORLIX_CHANNEL_RX(1)].enabled) {
                return fail(ORLIX_ERR_STATE, "sync_rx", "both receive channels must be enabled");
            }
            if (!samples && num_samples > 0) return fail(ORLIX_ERR_INVAL, "sync_rx", "null buffer");
            if (num_samples % 2 != 0) {
                return fail(ORLIX_ERR_INVAL, "sync_rx",
                            "the two-channel layout needs whole frames");
            }
            const std::uint64_t position = d->rx_position;
            const std::array<double, 2> rates = {
                static_cast<double>(d->channels[ORLIX_CHANNEL_RX(0)].sample_rate),
                static_cast<double>(d->channels[ORLIX_CHANNEL_RX(1)].sample_rate)};
            const int status =
                fill_receive(controls().of(t.index), static_cast<std::int16_t*>(samples), position,
                             num_samples, rates, timeout_ms);
            if (status != 0) return status;
            if (metadata) {
                *metadata = orlix_metadata{};
                metadata->timestamp = position / 2;
                metadata->actual_count = num_samples;
            }
            d->rx_position = position + num_samples;
            return 0;
        });
    });
}

}  // extern "C"
