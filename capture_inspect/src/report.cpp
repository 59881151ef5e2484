#include "report.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "capture_json.h"
#include "decimal.h"
#include "guard.h"

using json = nlohmann::ordered_json;

namespace {

// The length of the UTF-8 sequence at `at`, or 0 where the bytes are not one.
std::size_t utf8_length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned min;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, min = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, min = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    unsigned code = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3f);
    }
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return code >= min && code <= 0x10ffff && !surrogate ? length : 0;
}

json figure(const Figure& value) {
    return value ? json(*value) : json(nullptr);
}

std::string shown(const Figure& value, int decimals, bool sign = false) {
    return value ? fixed(*value, decimals, sign) : "n/a";
}

std::string quote_for_gnuplot(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

std::string megahertz(double hz) {
    return fixed(hz / 1e6, 3);
}

std::string plot_script(const Inspection& in) {
    const CaptureFigures& f = in.figures;
    const bool spectrum = !f.channels[0].spectrum_dbfs.empty();
    std::string script = "set terminal pngcairo noenhanced size 1200,800\n";
    char line[160];
    if (spectrum) {
        script += "$spectrum << EOD\n";
        for (std::size_t k = 0; k < kFftSize; ++k) {
            const double khz = (static_cast<double>(k) - kFftSize / 2.0) * f.bin_hz / 1000.0;
            std::snprintf(line, sizeof line, "%.4f %.2f %.2f\n", khz,
                          f.channels[0].spectrum_dbfs[k], f.channels[1].spectrum_dbfs[k]);
            script += line;
        }
        script += "EOD\n";
    }
    script += "$samples << EOD\n";
    for (std::size_t k = 0; k < f.head.size(); ++k) {
        std::snprintf(line, sizeof line, "%.3f %d %d %d %d\n",
                      static_cast<double>(k) / in.rate * 1e6, f.head[k][0], f.head[k][1],
                      f.head[k][2], f.head[k][3]);
        script += line;
    }
    script += "EOD\n";
    script += "set multiplot layout " + std::string(spectrum ? "2" : "1") + ",1 title " +
              quote_for_gnuplot(in.name + ": centre " + megahertz(in.frequency) + " MHz, " +
                                fixed(in.rate / 1e6, 3) + " MS/s") +
              "\nset grid\nset key outside right top box\n";
    if (spectrum) {
        script +=
            "set title " +
            quote_for_gnuplot("Power spectrum: Welch, Hann window of " + std::to_string(kFftSize) +
                              " points, " + std::to_string(f.segments) +
                              " segments, resolution bandwidth " +
                              fixed(f.resolution_bandwidth_hz, 1) + " Hz") +
            "\nset xlabel " +
            quote_for_gnuplot("Frequency offset from " + megahertz(in.frequency) + " MHz (kHz)") +
            "\nset ylabel 'Power per bin (dBFS)'\n"
            "plot $spectrum using 1:2 with lines title 'channel 0', "
            "'' using 1:3 with lines title 'channel 1'\n";
    }
    script += "set title " +
              quote_for_gnuplot("The first " + std::to_string(f.head.size()) + " samples") +
              "\nset xlabel 'Time from the first sample (microseconds)'\n"
              "set ylabel 'Value (sample units, full scale " +
              std::to_string(static_cast<int>(kFullScale)) +
              ")'\n"
              "plot $samples using 1:2 with lines title 'channel 0 I', "
              "'' using 1:3 with lines title 'channel 0 Q', "
              "'' using 1:4 with lines title 'channel 1 I', "
              "'' using 1:5 with lines title 'channel 1 Q'\n"
              "unset multiplot\n";
    return script;
}

// Runs gnuplot with `script` on its standard input, never through a shell,
// and collects its standard output and error. False when it could not start.
bool run_gnuplot(const std::string& gnuplot, const std::string& script, std::string& out,
                 std::string& err, int& wait_status) {
    int to_child[2], from_out[2], from_err[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) return false;
    if (pipe2(from_out, O_CLOEXEC) != 0 || pipe2(from_err, O_CLOEXEC) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        restore_output_signals();
        if (dup2(to_child[0], STDIN_FILENO) < 0 || dup2(from_out[1], STDOUT_FILENO) < 0 ||
            dup2(from_err[1], STDERR_FILENO) < 0) {
            _exit(127);
        }
        execl(gnuplot.c_str(), "gnuplot", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_out[1]);
    close(from_err[1]);
    if (pid < 0) {
        close(to_child[1]);
        close(from_out[0]);
        close(from_err[0]);
        return false;
    }
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    int in_fd = to_child[1];
    int fds[2] = {from_out[0], from_err[0]};
    std::string* sinks[2] = {&out, &err};
    std::size_t written = 0;
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[3] = {{in_fd, POLLOUT, 0}, {fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(p, 3, 100) < 0 && errno != EINTR) break;
        if (in_fd >= 0 && p[0].revents != 0) {
            const ssize_t n = write(in_fd, script.data() + written, script.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == script.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || p[i + 1].revents == 0) continue;
            char buf[65536];
            const ssize_t n = read(fds[i], buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

bool valid_utf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_length(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string shown_utf8(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_length(text, at);
        out += length == 0 ? "\xef\xbf\xbd" : text.substr(at, length);
        at += length == 0 ? 1 : length;
    }
    return out;
}

void print_report(const Inspection& in) {
    const CaptureFigures& f = in.figures;
    std::printf("Capture %s: %" PRIu64 " frames, %s s at %s samples/s, centre %s Hz\n",
                in.name.c_str(), f.frames,
                fixed(static_cast<double>(f.frames) / in.rate, 3).c_str(),
                fixed(in.rate, 0).c_str(), fixed(in.frequency, 0).c_str());
    for (int c = 0; c < 2; c++) {
        const ChannelFigures& ch = f.channels[c];
        std::printf("Channel %d:\n", c);
        std::printf("  DC offset        I %s, Q %s, %s dBFS\n", fixed(ch.dc_i, 2).c_str(),
                    fixed(ch.dc_q, 2).c_str(), fixed(ch.dc_dbfs, 1).c_str());
        std::printf("  RMS level        %s dBFS\n", fixed(ch.rms_dbfs, 2).c_str());
        std::printf("  Peak             %d, %" PRIu64 " samples clipped\n", ch.peak, ch.clipped);
        std::printf("  Longest stuck    %" PRIu64 " samples\n", ch.longest_stuck_run);
        if (ch.spectrum_dbfs.empty()) {
            std::printf("  Strongest tone   n/a: shorter than one %zu-frame window\n", kFftSize);
        } else if (!ch.tone_offset_hz) {
            std::printf(
                "  Strongest tone   no tone: the largest bin stands %s dB above the floor, "
                "as noise alone may\n",
                shown(ch.tone_above_floor_db, 1).c_str());
        } else {
            std::printf("  Strongest tone   %s Hz, %s dBFS, %s dB above the noise floor\n",
                        shown(ch.tone_offset_hz, 1, true).c_str(), shown(ch.tone_dbfs, 2).c_str(),
                        shown(ch.tone_above_floor_db, 1).c_str());
            if (ch.fit_frames > 0) {
                std::printf("  Measured by      a sine fit over %" PRIu64
                            " frames: the window cannot part the tone's lines\n",
                            ch.fit_frames);
            } else {
                std::printf("  Measured by      the spectrum\n");
            }
        }
        if (!ch.unresolved.empty()) std::printf("  Not parted       %s\n", ch.unresolved.c_str());
        const std::string mirror = ch.tone_offset_hz ? fixed(-*ch.tone_offset_hz, 1, true) : "";
        if (!ch.image_dbc) {
            std::printf("  Image            n/a%s\n", !ch.tone_offset_hz       ? ": no tone"
                                                      : !ch.unresolved.empty() ? ": not parted"
                                                                               : "");
        } else if (ch.image_below_floor) {
            std::printf("  Image            below the noise floor (under %s dBc) at %s Hz\n",
                        fixed(*ch.image_dbc, 1).c_str(), mirror.c_str());
        } else {
            std::printf("  Image            %s dBc at %s Hz\n", fixed(*ch.image_dbc, 1).c_str(),
                        mirror.c_str());
        }
        if (ch.snr_db) {
            std::printf("  SNR, SINAD       %s dB, %s dB; ENOB %s bits at full scale\n",
                        fixed(*ch.snr_db, 2).c_str(), fixed(*ch.sinad_db, 2).c_str(),
                        fixed(*ch.enob_bits, 2).c_str());
            std::printf("  Noise density    %s dBFS/Hz\n", fixed(*ch.nsd_dbfs_hz, 1).c_str());
            const std::string spur = ch.sfdr_below_floor
                                         ? std::string("the noise floor")
                                         : std::string(ch.worst_spur) + " at " +
                                               fixed(*ch.worst_spur_offset_hz, 1, true) + " Hz";
            std::printf("  SFDR             %s dBc (%s dBFS) to %s; THD %s dBc\n",
                        fixed(*ch.sfdr_dbc, 1).c_str(), fixed(*ch.sfdr_dbfs, 1).c_str(),
                        spur.c_str(), shown(ch.thd_dbc, 1).c_str());
            std::printf("  I/Q imbalance    gain %s dB, phase %s degrees; LO leakage %s dBc\n",
                        shown(ch.iq_gain_imbalance_db, 3, true).c_str(),
                        shown(ch.iq_phase_imbalance_deg, 2, true).c_str(),
                        shown(ch.lo_leakage_dbc, 1).c_str());
            if (ch.frequency_error_ppm) {
                std::printf("  Frequency error  %s ppm of %s Hz, against %s Hz\n",
                            fixed(*ch.frequency_error_ppm, 3, true).c_str(),
                            fixed(in.frequency, 0).c_str(),
                            fixed(*in.expected_tone_hz, 1, true).c_str());
            }
        } else {
            std::printf("  SNR              n/a: no tone\n");
        }
        if (!ch.largest_phase_jump_deg) {
            std::printf("  Phase turns      n/a: too weak to have a phase\n");
        } else {
            std::printf("  Phase turns      %s degrees at most, %s RMS\n",
                        fixed(*ch.largest_phase_jump_deg, 1).c_str(),
                        fixed(*ch.phase_turn_rms_deg, 2).c_str());
        }
    }
    std::printf("Pair:\n");
    std::printf("  Correlation      %s\n", shown(f.correlation, 4).c_str());
    std::printf("  Coherence        %s at the tone\n", shown(f.coherence, 4).c_str());
    std::printf("  Phase            %s degrees, channel 1 against channel 0\n",
                shown(f.phase_deg, 1).c_str());
    std::printf("  Gain match       %s dB, channel 1 against channel 0\n",
                shown(f.gain_match_db, 3, true).c_str());
    std::printf("  Frequency        %s Hz apart, channel 1 less channel 0\n",
                shown(f.frequency_difference_hz, 4, true).c_str());
    std::printf("Checks:\n");
    for (const Check& c : in.checks) {
        std::printf("  %-14s %s  %s\n", c.name.c_str(), c.passed ? "passed" : "FAILED",
                    c.detail.c_str());
    }
    std::printf("Result: %s\n", in.passed ? "passed" : "FAILED");
}

std::string json_report(const Inspection& in) {
    const CaptureFigures& f = in.figures;
    json j;
    j["file"] = in.name;
    j["frames"] = f.frames;
    j["sample_rate"] = in.rate;
    j["centre_frequency"] = in.frequency;
    j["duration_s"] = static_cast<double>(f.frames) / in.rate;
    j["segments"] = f.segments;
    j["resolution_bandwidth_hz"] = f.resolution_bandwidth_hz;
    j["expected_tone_hz"] = figure(in.expected_tone_hz);
    j[capture_json::channels] = json::array();
    for (int c = 0; c < 2; c++) {
        const ChannelFigures& ch = f.channels[c];
        j[capture_json::channels].push_back(
            {{"index", c},
             {"dc_i", ch.dc_i},
             {"dc_q", ch.dc_q},
             {capture_json::dc_dbfs, ch.dc_dbfs},
             {capture_json::rms_dbfs, ch.rms_dbfs},
             {"peak", ch.peak},
             {capture_json::clipped, ch.clipped},
             {"clipped_percent", ch.clipped_percent},
             {"longest_stuck_run", ch.longest_stuck_run},
             {capture_json::tone_offset_hz, figure(ch.tone_offset_hz)},
             {capture_json::tone_dbfs, figure(ch.tone_dbfs)},
             {capture_json::tone_above_floor_db, figure(ch.tone_above_floor_db)},
             {"method", ch.method ? json(ch.method) : json(nullptr)},
             {"fit_frames", ch.fit_frames > 0 ? json(ch.fit_frames) : json(nullptr)},
             {"unresolved", ch.unresolved.empty() ? json(nullptr) : json(ch.unresolved)},
             {capture_json::image_dbc, figure(ch.image_dbc)},
             {"image_below_floor", ch.image_below_floor},
             {capture_json::largest_phase_jump_deg, figure(ch.largest_phase_jump_deg)},
             {"phase_turn_rms_deg", figure(ch.phase_turn_rms_deg)},
             {"phase_turns", ch.phase_turns},
             {"noise_phase_jump_deg", figure(ch.noise_phase_jump_deg)},
             {capture_json::phase_jump_over_noise_deg, figure(ch.phase_jump_over_noise_deg)},
             {capture_json::snr_db, figure(ch.snr_db)},
             {capture_json::sinad_db, figure(ch.sinad_db)},
             {capture_json::thd_dbc, figure(ch.thd_dbc)},
             {capture_json::sfdr_dbc, figure(ch.sfdr_dbc)},
             {"sfdr_dbfs", figure(ch.sfdr_dbfs)},
             {"sfdr_below_floor", ch.sfdr_below_floor},
             {"worst_spur", ch.worst_spur ? json(ch.worst_spur) : json(nullptr)},
             {"worst_spur_offset_hz", figure(ch.worst_spur_offset_hz)},
             {capture_json::enob_bits, figure(ch.enob_bits)},
             {capture_json::nsd_dbfs_hz, figure(ch.nsd_dbfs_hz)},
             {capture_json::frequency_error_ppm, figure(ch.frequency_error_ppm)},
             {capture_json::iq_gain_imbalance_db, figure(ch.iq_gain_imbalance_db)},
             {capture_json::iq_phase_imbalance_deg, figure(ch.iq_phase_imbalance_deg)},
             {capture_json::lo_leakage_dbc, figure(ch.lo_leakage_dbc)}});
    }
    j[capture_json::pair] = {
        {capture_json::correlation, figure(f.correlation)},
        {capture_json::coherence, figure(f.coherence)},
        {capture_json::phase_deg, figure(f.phase_deg)},
        {capture_json::gain_match_db, figure(f.gain_match_db)},
        {capture_json::frequency_difference_hz, figure(f.frequency_difference_hz)}};
    j["checks"] = json::array();
    for (const Check& c : in.checks) {
        j["checks"].push_back({{"name", c.name},
                               {"passed", c.passed},
                               {"detail", c.detail},
                               {"figure", c.rule->figure},
                               {"value", figure(c.value)},
                               {"comparison", comparison_text(c.rule->comparison)},
                               {"limit", figure(c.limit)}});
    }
    j["passed"] = in.passed;
    return j.dump(2) + "\n";
}

std::string sigmf_metadata(const Inspection& in, const std::string& dataset,
                           const std::string& sha512) {
    json global = {{"core:datatype", "ci16_le"},
                   {"core:sample_rate", in.rate},
                   {"core:num_channels", 2},
                   {"core:version", "1.2.0"}};
    if (!dataset.empty()) global["core:dataset"] = dataset;
    global["core:sha512"] = sha512;
    global["core:recorder"] = "twin_capture";
    global["core:extensions"] =
        json::array({{{"name", "orlix"}, {"version", "1.0.0"}, {"optional", true}}});
    global["orlix:sample_bits"] = kSampleBits;
    const json meta = {
        {"global", global},
        {"captures", json::array({{{"core:sample_start", 0}, {"core:frequency", in.frequency}}})},
        {"annotations", json::array()}};
    return meta.dump(2) + "\n";
}

std::string sigmf_meta_path(const std::string& path, std::string& dataset) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string file = path.substr(folder.size());
    const std::string data_suffix = ".sigmf-data";
    const bool conforming =
        file.size() > data_suffix.size() &&
        file.compare(file.size() - data_suffix.size(), data_suffix.size(), data_suffix) == 0;
    const std::size_t dot = file.rfind('.');
    const std::string stem = conforming ? file.substr(0, file.size() - data_suffix.size())
                             : dot == 0 || dot == std::string::npos ? file
                                                                    : file.substr(0, dot);
    dataset = conforming ? "" : file;
    return folder + stem + ".sigmf-meta";
}

bool draw_picture(const std::string& gnuplot, const Inspection& in, std::string& png,
                  std::string& why) {
    std::string err;
    int status = 0;
    png.clear();
    const bool ran = run_gnuplot(gnuplot, plot_script(in), png, err, status);
    while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
    for (char& c : err) {
        if (c == '\n') c = ' ';
    }
    if (!ran) {
        why = std::string("gnuplot could not be run: ") + std::strerror(errno);
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = !err.empty() ? err
              : WIFSIGNALED(status)
                  ? "gnuplot died by signal " + std::to_string(WTERMSIG(status))
                  : "gnuplot exited with status " + std::to_string(WEXITSTATUS(status));
    } else if (png.empty()) {
        why = err.empty() ? "gnuplot drew nothing" : err;
    } else if (!whole_png(png)) {
        why = "gnuplot's picture is not a whole PNG" + (err.empty() ? "" : ": " + err);
    } else {
        return true;
    }
    return false;
}

bool whole_png(const std::string& png) {
    static const char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (png.size() < 8 || png.compare(0, 8, kSignature, 8) != 0) return false;
    std::size_t at = 8;
    bool first = true;
    while (at + 12 <= png.size()) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(png[i]); };
        const std::uint64_t length = (std::uint64_t{byte(at)} << 24) | (byte(at + 1) << 16) |
                                     (byte(at + 2) << 8) | byte(at + 3);
        const std::string type = png.substr(at + 4, 4);
        if (first && type != "IHDR") return false;
        first = false;
        if (at + 12 + length > png.size()) return false;
        at += 12 + length;
        if (type == "IEND") return at == png.size();
    }
    return false;
}
