#include "loop.h"

#include <fcntl.h>
#include <poll.h>
#include <re2/re2.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "base/signal_wake.h"
#include "base/times.h"
#include "base/trouble.h"
#include "base/typed_lines.h"
#include "board/programs.h"
#include "board/run_folder.h"
#include "control_channel.h"
#include "escape.h"
#include "files.h"
#include "guard.h"
#include "outputs/banner.h"
#include "record/events.h"
#include "sequence/sequence.h"
#include "station.h"
#include "station_file.h"

namespace {

using json = nlohmann::json;

constexpr int kLookMs = 200;  // how often a view's start is looked for
constexpr std::size_t kSerialMost = 128;

struct Given {
    std::string serial, source;  // source: "terminal" or "view"
};

// What a view that may start is told of the loop: the sockets, the one
// asked, the serials given this round and the last refusal; renewed while
// it waits, so that a loop gone is seen as gone.
struct LoopState {
    std::string path;
    std::vector<std::string> sockets;
    std::map<std::string, Given> given, last;
    std::string asking, refused;
    bool running = false;

    void write() const {
        json j = {{"pid", getpid()},
                  {"sockets", sockets},
                  {"running", running},
                  {"asking", running ? json(nullptr) : json(asking)},
                  {"refused", refused.empty() ? json(nullptr) : json(refused)}};
        j["given"] = json::object();
        for (const auto& [socket, g] : given) j["given"][socket] = g.serial;
        j["last"] = json::object();
        for (const auto& [socket, g] : last) j["last"][socket] = g.serial;
        write_file_whole(path, j.dump() + "\n", false);
    }
};

// Whether a Ctrl-C at the terminal reached the loop's whole process group,
// the running board's too.
bool terminal_signals_group() {
    const int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return false;
    const bool foreground = tcgetpgrp(tty) == getpgrp();
    close(tty);
    return foreground;
}

void prompt(const std::string& socket) {
    printf("%s",
           socket.empty() ? "Serial: " : ("Serial for " + terminal_safe(socket) + ": ").c_str());
    fflush(stdout);
}

// Gathers a serial for every socket of the round; false at the end of
// input, or a termination signal, before the round is whole.
bool gather_serials(LoopState& state, TypedLines& typed, const std::string& folder,
                    const std::string& pattern) {
    const bool terminal = isatty(STDIN_FILENO);
    state.given.clear();
    state.refused.clear();
    auto waiting = [&](const std::string& socket) {
        return std::find(state.sockets.begin(), state.sockets.end(), socket) !=
                   state.sockets.end() &&
               state.given.count(socket) == 0;
    };
    auto offer = [&](const std::string& socket, const std::string& serial,
                     const std::string& source) {
        std::string why;
        if (!waiting(socket)) {
            why = "socket \"" + socket + "\" waits for no serial";
        } else if (serial.size() > kSerialMost) {
            why = "a serial of at most " + std::to_string(kSerialMost) + " characters";
        } else {
            const auto last = state.last.find(socket);
            why = serial_refusal(serial, last == state.last.end() ? "" : last->second.serial,
                                 pattern);
            for (const auto& [other, g] : state.given) {
                if (why.empty() && g.serial == serial) {
                    why = serial + " is in socket " + other + " already";
                }
            }
        }
        // The serial beside its prompt, as typed; one the view gave for
        // another socket than the one asked, on a line of its own.
        if (source == "view" && socket != state.asking) {
            printf("\n");
            prompt(socket);
        }
        if (source == "view" || !terminal) {
            printf("%s%s\n", terminal_safe(serial).c_str(),
                   source == "view" ? " (from the view)" : "");
        }
        if (!why.empty()) {
            printf("Not taken: %s\n", terminal_safe(why).c_str());
            state.refused = (socket.empty() ? "" : "socket " + socket + ": ") + why;
        } else {
            state.given[socket] = {serial, source};
            state.refused.clear();
        }
    };
    while (state.given.size() < state.sockets.size()) {
        const auto next = std::find_if(state.sockets.begin(), state.sockets.end(), waiting);
        state.asking = *next;
        state.write();
        prompt(state.asking);
        bool answered = false;
        auto last_write = std::chrono::steady_clock::now();
        while (!answered) {
            if (termination_signal != 0) return false;
            if (std::optional<std::string> line = typed.next()) {
                offer(state.asking, *line, "terminal");
                answered = true;
                break;
            }
            if (typed.ended()) {
                printf("\n");
                return false;
            }
            for (const std::string& body : take_control(folder, "start")) {
                const json j = json::parse(body, nullptr, false);
                if (!j.is_object() || !j.contains("serial") || !j["serial"].is_string()) continue;
                const std::string socket = j.contains("socket") && j["socket"].is_string()
                                               ? j["socket"].get<std::string>()
                                               : std::string();
                offer(socket, j["serial"].get<std::string>(), "view");
                answered = true;
            }
            if (answered) break;
            pollfd fds[2] = {{signal_wake_fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            poll(fds, 2, kLookMs);
            if (fds[1].revents != 0) typed.read_some();
            // The state's time says the loop still waits.
            if (std::chrono::steady_clock::now() - last_write >
                std::chrono::seconds(kViewLeaseRenewS)) {
                state.write();
                last_write = std::chrono::steady_clock::now();
            }
        }
    }
    return true;
}

// A round's boards, run in a process of their own; the wait passes on a
// signal the round's process did not get with the loop's.
int run_round(const LoopOptions& o, const StationFile* station, LoopState& state,
              const RunSettings& settings, std::string& folder, std::string& error) {
    const std::string first = state.given.begin()->second.serial;
    if (!new_run_folder(o.folder, station ? station->name : first, folder, error)) return -1;
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        error = strerror(errno);
        return -1;
    }
    if (child == 0) {
        forget_caught_signals();
        int status = kTrouble;
        if (station) {
            NewStation s;
            s.file = *station;
            s.run = o.run;
            for (const auto& [socket, g] : state.given) {
                s.serials.emplace_back(socket, g.serial);
                s.started_from[socket] = g.source;
            }
            s.folder = folder;
            status = run_station(s, settings);
        } else {
            NewBoardRun r = o.run;
            r.serial = first;
            r.output = folder;
            r.started_from = state.given.begin()->second.source;
            status = run_board(r, settings);
        }
        fflush(stdout);
        std::exit(status);
    }
    state.running = true;
    state.write();
    sig_atomic_t passed_on = signals_caught;
    int wait_status = 0;
    for (;;) {
        const pid_t r = waitpid(child, &wait_status, WNOHANG);
        if (r == child) break;
        while (passed_on < signals_caught) {
            ++passed_on;
            if (termination_signal != SIGINT || !terminal_signals_group()) {
                kill(child, termination_signal);
            }
        }
        pollfd fd = {signal_wake_fd(), POLLIN, 0};
        if (poll(&fd, 1, 100) > 0) {
            char drain[64];
            while (read(signal_wake_fd(), drain, sizeof drain) > 0) {
            }
        }
    }
    state.running = false;
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : kTrouble;
}

// One board's verdict and the steps that failed, from its record.
std::string board_line(const std::string& run_folder, const std::string& serial,
                       const std::string& socket, Verdict& verdict) {
    RunRecord r;
    bool cut = false;
    std::string error;
    std::string line = (socket.empty() ? "" : socket + "  ") + serial + "  ";
    if (!replay(run_folder + "/record.jsonl", r, cut, error)) {
        verdict = Verdict::error;
        return line + "ERROR  no record";
    }
    verdict = verdict_of(r);
    line += verdict_name(verdict);
    std::string failed;
    for (const StepRecord& s : r.steps) {
        if (counts_as_failed(s)) failed += (failed.empty() ? "" : ", ") + s.name;
    }
    return failed.empty() ? line : line + "  " + failed;
}

// The round's verdict, large, with each board's line under it.
void show_round(const StationFile* station, const LoopState& state, const std::string& folder) {
    Verdict worst = Verdict::pass;
    std::vector<std::string> lines;
    for (const auto& [socket, g] : state.given) {
        Verdict v = Verdict::error;
        lines.push_back(board_line(station ? folder + "/" + socket : folder, g.serial, socket, v));
        worst = worse(worst, v);
    }
    printf("\n%s\n", banner_text(verdict_name(worst)).c_str());
    for (const std::string& l : lines) printf("%s\n", terminal_safe(l).c_str());
    printf("Folder: %s\n\n", terminal_safe(folder).c_str());
    fflush(stdout);
}

}  // namespace

std::string serial_refusal(const std::string& serial, const std::string& last,
                           const std::string& pattern) {
    if (serial.empty()) return "the serial is empty: scan the board's label";
    if (serial == last) return serial + " was just tested in this socket: seat the next board";
    if (!pattern.empty()) {
        RE2::Options options;
        options.set_log_errors(false);
        const RE2 re(pattern, options);
        if (!RE2::FullMatch(serial, re)) {
            return serial + " does not match the serial pattern " + pattern;
        }
    }
    return "";
}

int run_loop(const LoopOptions& o, const RunSettings& settings) {
    std::string error;
    Sequence sequence;
    if (!load_sequence(sequence_file_of(o.run), sequence, error)) return trouble(error);
    LoopOptions loop = o;
    std::optional<StationFile> station;
    std::string pattern = sequence.serial_pattern;
    LoopState state;
    if (!o.station_file.empty()) {
        char resolved[PATH_MAX];
        const std::string path =
            realpath(o.station_file.c_str(), resolved) ? resolved : o.station_file;
        station.emplace();
        if (!load_station_file(path, *station, error)) return trouble(error);
        if (!station->serial_pattern.empty()) pattern = station->serial_pattern;
        if (loop.run.station.empty()) loop.run.station = station->name;
        for (const Socket& s : station->sockets) state.sockets.push_back(s.name);
    } else {
        state.sockets.push_back("");
    }
    const std::string folder = o.folder.empty() ? "runs" : o.folder;
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        return trouble(folder + ": " + strerror(errno));
    }
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) {
        return trouble(folder + ": " + strerror(errno));
    }
    loop.folder = resolved;
    loop.run.output.clear();
    if (!make_control_folder(loop.folder))
        return trouble(loop.folder + "/.control: " + strerror(errno));
    if (!catch_signals_to_pipe()) return trouble(strerror(errno));
    state.path = loop.folder + "/" + kControlFolder + "/loop.json";
    take_control(loop.folder, "start");  // none is for this loop
    printf("Testing board after board in %s; end the input (Ctrl-D) to stop\n",
           terminal_safe(loop.folder).c_str());
    TypedLines typed(STDIN_FILENO, 4 * kSerialMost);  // a line past it ends as it stands
    int worst = 0, boards = 0;
    bool aborted = false;
    while (gather_serials(state, typed, loop.folder, pattern)) {
        std::string run_folder;
        const int status =
            run_round(loop, station ? &*station : nullptr, state, settings, run_folder, error);
        if (status < 0) {
            trouble(error);
            worst = std::max(worst, kTrouble);
            break;
        }
        worst = std::max(worst, status);
        boards += static_cast<int>(state.given.size());
        show_round(station ? &*station : nullptr, state, run_folder);
        state.last = state.given;
        if (termination_signal != 0) {
            aborted = true;
            break;
        }
    }
    unlink(state.path.c_str());
    printf("Loop ended: %d board%s, exit status %d\n", boards, boards == 1 ? "" : "s", worst);
    if (!finish_output("station_run")) worst = std::max(worst, kTrouble);
    if (aborted) die_by_signal(termination_signal);
    return worst;
}
