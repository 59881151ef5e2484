#include "station.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "escape.h"
#include "events.h"
#include "files.h"
#include "guard.h"
#include "history.h"
#include "locks.h"
#include "programs.h"
#include "run_folder.h"
#include "sequence.h"
#include "signal_wake.h"
#include "times.h"
#include "toml_check.h"
#include "trouble.h"

using ordered_json = nlohmann::ordered_json;

namespace {
constexpr const char* kSummaryFile = "station.json";
constexpr std::size_t kLineMost = 64 * 1024;  // of a board's line not ended yet

// One board of the station: where it runs, its process while it runs, and
// its result.
struct Board {
    std::string socket, serial, device;
    std::vector<std::pair<std::string, std::string>> env;
    std::string folder;   // absolute; station.json names it from the station's folder
    bool resume = false;  // its folder holds a run to take up
    bool run = true;      // false: finished before this station's process
    std::optional<int> kept_exit_status;  // station.json's, of a board that ended before
    pid_t pid = -1;
    int lock_fd = -1, out_fd = -1, err_fd = -1;
    std::string out_part, err_part;  // a line not ended yet
    int wait_status = 0;
    std::optional<Verdict> verdict;
    int exit_status = kTrouble;
    std::vector<std::string> failed;  // the steps that did not pass
    std::string note;                 // why there is no verdict
};

// The station as station.json keeps it.
struct Station {
    std::string name, file_path, file_sha256, folder, started, ended;
    NewRun run;  // what the boards share
    std::vector<Board> boards;
    std::vector<std::pair<std::string, std::string>> not_run;  // socket, why
    std::optional<Verdict> verdict;
    std::optional<int> exit_status;
};

ordered_json env_json(const std::vector<std::pair<std::string, std::string>>& env) {
    ordered_json j = ordered_json::object();
    for (const auto& [name, value] : env) j[name] = value;
    return j;
}

ordered_json station_json(const Station& s) {
    ordered_json j = {{"station", s.name},
                      {"station_file", {{"path", s.file_path}, {"sha256", s.file_sha256}}},
                      {"started", s.started},
                      {"ended", s.ended.empty() ? ordered_json(nullptr) : ordered_json(s.ended)},
                      {"verdict", s.verdict ? ordered_json(verdict_name(*s.verdict)) : nullptr},
                      {"exit_status", s.exit_status ? ordered_json(*s.exit_status) : nullptr},
                      {"run",
                       {{"sequence", s.run.sequence},
                        {"image", s.run.image},
                        {"operator", s.run.operator_name},
                        {"history", History::shown_target(s.run.history)},
                        {"output_limit", s.run.output_limit},
                        {"expected_tone_hz", s.run.expected_tone_hz}}}};
    j["boards"] = ordered_json::array();
    for (const Board& b : s.boards) {
        j["boards"].push_back(
            {{"socket", b.socket},
             {"serial", b.serial},
             {"device", b.device},
             {"env", env_json(b.env)},
             {"folder", b.socket},
             {"verdict", b.verdict ? ordered_json(verdict_name(*b.verdict)) : nullptr},
             {"exit_status", s.exit_status ? ordered_json(b.exit_status) : nullptr},
             {"failed_steps", b.failed}});
    }
    j["not_run"] = ordered_json::array();
    for (const auto& [socket, why] : s.not_run) {
        j["not_run"].push_back({{"socket", socket}, {"reason", why}});
    }
    return j;
}

bool station_from(const nlohmann::json& j, Station& s, std::string& error) {
    try {
        s.name = j.at("station").get<std::string>();
        s.file_path = j.at("station_file").at("path").get<std::string>();
        s.file_sha256 = j.at("station_file").at("sha256").get<std::string>();
        s.started = j.at("started").get<std::string>();
        const nlohmann::json& r = j.at("run");
        s.run.station = s.name;
        s.run.sequence = r.at("sequence").get<std::string>();
        s.run.image = r.at("image").get<std::string>();
        s.run.operator_name = r.at("operator").get<std::string>();
        s.run.history = r.at("history").get<std::string>();
        s.run.output_limit = r.at("output_limit").get<std::uint64_t>();
        s.run.expected_tone_hz = r.at("expected_tone_hz").get<double>();
        s.run.socket_env.clear();
        for (const nlohmann::json& b : j.at("boards")) {
            Board board;
            board.socket = b.at("socket").get<std::string>();
            board.serial = b.at("serial").get<std::string>();
            board.device = b.at("device").get<std::string>();
            for (const auto& [name, value] : b.at("env").items()) {
                board.env.emplace_back(name, value.get<std::string>());
            }
            // A board's folder is its socket's in the station's folder, which
            // may have moved or been copied since; an older station.json
            // named it absolute, where it was then.
            const std::string folder = b.at("folder").get<std::string>();
            if (folder.empty() || (folder[0] != '/' && !plain_name(folder))) {
                throw std::runtime_error("a board's folder \"" + folder + "\" is no plain name");
            }
            board.folder = s.folder + "/" + (folder[0] == '/' ? board.socket : folder);
            if (b.contains("exit_status") && b["exit_status"].is_number_integer()) {
                board.kept_exit_status = b["exit_status"].get<int>();
            }
            s.boards.push_back(std::move(board));
        }
        for (const nlohmann::json& n : j.at("not_run")) {
            s.not_run.emplace_back(n.at("socket").get<std::string>(),
                                   n.at("reason").get<std::string>());
        }
    } catch (const std::exception& e) {
        error = std::string("not a station's summary: ") + e.what();
        return false;
    }
    return true;
}

bool write_summary(const Station& s) {
    const std::string path = s.folder + "/" + kSummaryFile;
    if (write_file_whole(path, json_text(station_json(s), 2) + "\n", false)) return true;
    trouble(path + ": " + strerror(errno));
    return false;
}

// What a board's run is given: the station's settings, its socket's device,
// serial and environment, its folder.
NewRun run_of(const Station& s, const Board& b) {
    NewRun r = s.run;
    r.serial = b.serial;
    r.device = b.device;
    r.output = b.folder;
    r.socket = b.socket;
    r.socket_env = b.env;
    r.station_file_sha256 = s.file_sha256;
    return r;
}

// The board's process: its own process group, so that a terminal's
// Ctrl-C reaches the station alone, which passes it on in socket order; gone
// with the station's process however that ends.
[[noreturn]] void board_process(const Station& s, const Board& b, int lock_fd, int out_fd,
                                int err_fd, const std::vector<int>& station_fds, pid_t station,
                                RunSettings settings) {
    forget_caught_signals();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != station) _exit(kTrouble);
    setpgid(0, 0);
    if (dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0) _exit(kTrouble);
    for (int fd : station_fds) close(fd);
    close(out_fd);
    close(err_fd);
    settings.lock_fd = lock_fd;
    const int status = b.resume ? run_resumed(b.folder, settings) : run_new(run_of(s, b), settings);
    std::exit(status);
}

// Starts every board that is to run, each with its end of a socket pair for
// the locks and pipes for its output.
bool start_boards(Station& s, const RunSettings& settings) {
    std::vector<int> station_fds;
    for (Board& b : s.boards) {
        if (!b.run) continue;
        int pair[2], out[2], err[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
        station_fds.insert(station_fds.end(), {pair[0], out[0], err[0]});
        fflush(stdout);
        fflush(stderr);
        const pid_t station = getpid();
        const pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) board_process(s, b, pair[1], out[1], err[1], station_fds, station, settings);
        setpgid(pid, pid);
        close(pair[1]);
        close(out[1]);
        close(err[1]);
        b.pid = pid;
        b.lock_fd = pair[0];
        b.out_fd = out[0];
        b.err_fd = err[0];
    }
    return true;
}

// Shows a board's output line by line under its socket's name.
void pass_on(Board& b, int& fd, std::string& part, FILE* to) {
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0) part.append(buffer, static_cast<std::size_t>(n));
    // A line shown in pieces of a bound: one that never ends (a progress bar
    // redrawn with '\r') is never kept whole, nor shown as one.
    auto show = [&](std::size_t from, std::size_t to_end) {
        do {
            const std::size_t piece = std::min(to_end - from, kLineMost);
            fprintf(to, "[%s] %.*s\n", b.socket.c_str(), static_cast<int>(piece),
                    part.data() + from);
            from += piece;
        } while (from < to_end);
    };
    std::size_t at = 0;
    for (std::size_t end; (end = part.find('\n', at)) != std::string::npos; at = end + 1) {
        show(at, end);
    }
    for (; part.size() - at >= kLineMost; at += kLineMost) show(at, at + kLineMost);
    part.erase(0, at);
    if (n <= 0) {
        if (!part.empty()) show(0, part.size());
        part.clear();
        close(fd);
        fd = -1;
    }
}

void send_grants(const std::vector<Board>& boards, const std::vector<Grant>& grants) {
    for (const Grant& g : grants) {
        const std::string m = lock_message("grant", g.lock, g.ask);
        if (boards[static_cast<std::size_t>(g.board)].lock_fd >= 0) {
            send(boards[static_cast<std::size_t>(g.board)].lock_fd, m.data(), m.size(),
                 MSG_NOSIGNAL);
        }
    }
}

// A board's request: to take or give back a lock. Its end closed: its
// process ended, and whatever it held is released.
void serve_locks(std::vector<Board>& boards, std::size_t i, LockBroker& broker) {
    Board& b = boards[i];
    char buffer[256];
    const ssize_t n = recv(b.lock_fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    const int board = static_cast<int>(i);
    if (n <= 0) {
        close(b.lock_fd);
        b.lock_fd = -1;
        send_grants(boards, broker.gone(board));
        return;
    }
    std::string verb, lock, ask;
    if (!read_lock_message(std::string(buffer, static_cast<std::size_t>(n)), verb, lock, ask)) {
        return;
    }
    if (verb == "ask") send_grants(boards, broker.ask(board, lock, ask));
    if (verb == "give") send_grants(boards, broker.give_back(board, lock));
}

// Runs the station until every board's process has ended: their output
// shown, their locks served, each termination signal passed on to every
// board in socket order.
void watch_boards(std::vector<Board>& boards) {
    LockBroker broker;
    sig_atomic_t passed_on = 0;
    for (;;) {
        while (passed_on < signals_caught) {
            ++passed_on;
            for (const Board& b : boards) {
                if (b.pid > 0) kill(b.pid, termination_signal);
            }
        }
        std::vector<pollfd> fds = {{signal_wake_fd(), POLLIN, 0}};
        std::vector<std::pair<std::size_t, int>> owners = {{0, 0}};
        bool running = false;
        for (std::size_t i = 0; i < boards.size(); ++i) {
            Board& b = boards[i];
            if (b.pid <= 0) continue;
            if (b.lock_fd < 0 && b.out_fd < 0 && b.err_fd < 0) {
                while (waitpid(b.pid, &b.wait_status, 0) < 0 && errno == EINTR) {
                }
                b.pid = -1;
                continue;
            }
            running = true;
            for (int which : {0, 1, 2}) {
                const int fd = which == 0 ? b.lock_fd : which == 1 ? b.out_fd : b.err_fd;
                if (fd < 0) continue;
                fds.push_back({fd, POLLIN, 0});
                owners.emplace_back(i, which);
            }
        }
        if (!running) return;
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(signal_wake_fd(), drain, sizeof drain) > 0) {
            }
        }
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (fds[k].revents == 0) continue;
            const auto [i, which] = owners[k];
            Board& b = boards[i];
            if (which == 0) serve_locks(boards, i, broker);
            if (which == 1) pass_on(b, b.out_fd, b.out_part, stdout);
            if (which == 2) pass_on(b, b.err_fd, b.err_part, stderr);
        }
    }
}

// A board's result from its record; a board whose process died before it
// ended its run has none, and counts as trouble.
void read_result(Board& b) {
    RunRecord r;
    bool cut = false;
    std::string error;
    b.verdict.reset();
    b.failed.clear();
    b.note.clear();
    b.exit_status = kTrouble;
    if (!replay(b.folder + "/record.jsonl", r, cut, error)) {
        b.note = error;
        return;
    }
    if (!r.verdict) {
        b.note = WIFSIGNALED(b.wait_status)
                     ? std::string("its station_run died by ") + strsignal(WTERMSIG(b.wait_status))
                     : "its run did not end";
        return;
    }
    b.verdict = r.verdict;
    b.exit_status = r.exit_status;
    // The run's files come after its last event: a board whose process
    // ended worse than its record says lost something the record cannot.
    const int ended = !b.run && b.kept_exit_status ? *b.kept_exit_status
                      : WIFEXITED(b.wait_status)   ? WEXITSTATUS(b.wait_status)
                                                   : 0;
    if (ended > r.exit_status) {
        b.verdict = worse(*b.verdict, Verdict::error);
        b.exit_status = ended;
        b.note = "its station_run exited " + std::to_string(b.exit_status) +
                 ", above its record's " + std::to_string(r.exit_status);
    }
    for (const StepRecord& step : r.steps) {
        if (step.verdict && !passed(*step.verdict) && *step.verdict != Verdict::skipped) {
            b.failed.push_back(step.name);
        }
    }
}

// The station's result: a line a socket, then its verdict; station.json
// says the same.
int conclude_station(Station& s) {
    Verdict verdict = Verdict::pass;
    int status = 0;
    for (Board& b : s.boards) {
        read_result(b);
        verdict = worse(verdict, b.verdict.value_or(Verdict::error));
        status = std::max(status, b.exit_status);
    }
    if (termination_signal != 0) verdict = Verdict::aborted;
    s.verdict = verdict;
    s.exit_status = status;
    s.ended = utc_now();
    const bool kept = write_summary(s);
    printf("Station %s: %zu board%s\n", terminal_safe(s.name).c_str(), s.boards.size(),
           s.boards.size() == 1 ? "" : "s");
    for (const Board& b : s.boards) {
        std::string failed;
        for (const std::string& step : b.failed) failed += (failed.empty() ? "" : ", ") + step;
        const std::string note = !b.verdict       ? b.note
                                 : b.note.empty() ? failed
                                 : failed.empty() ? b.note
                                                  : failed + "; " + b.note;
        std::string line = "  " + terminal_safe(b.socket);
        line.resize(std::max<std::size_t>(line.size() + 1, 15), ' ');
        line += terminal_safe(b.serial);
        line.resize(std::max<std::size_t>(line.size() + 1, 32), ' ');
        line += b.verdict ? verdict_name(*b.verdict) : "ERROR";
        if (!note.empty()) line.resize(std::max<std::size_t>(line.size() + 1, 42), ' ');
        printf("%s%s\n", line.c_str(), terminal_safe(note).c_str());
    }
    for (const auto& [socket, why] : s.not_run) {
        std::string line = "  " + terminal_safe(socket);
        line.resize(std::max<std::size_t>(line.size() + 1, 15), ' ');
        line += "-";
        line.resize(32, ' ');
        printf("%snot run: %s\n", line.c_str(), terminal_safe(why).c_str());
    }
    printf("Station %s (exit status %d)\nSummary: %s/%s\n", verdict_name(verdict), status,
           terminal_safe(s.folder).c_str(), kSummaryFile);
    if (!kept) status = std::max(status, kTrouble);
    if (!finish_output("station_run")) status = std::max(status, kTrouble);
    if (termination_signal != 0) die_by_signal(termination_signal);
    return status;
}

// Runs the boards to their ends and concludes.
int run_boards(Station& s, const RunSettings& settings) {
    if (!catch_signals_to_pipe()) return trouble(strerror(errno));
    if (!start_boards(s, settings)) {
        trouble(std::string("a board cannot be started: ") + strerror(errno));
        for (const Board& b : s.boards) {
            if (b.pid > 0) kill(b.pid, SIGTERM);
        }
    }
    watch_boards(s.boards);
    return conclude_station(s);
}

}  // namespace

bool is_station_folder(const std::string& folder) {
    struct stat st;
    return lstat((folder + "/" + kSummaryFile).c_str(), &st) == 0;
}

int run_station(const StationRun& o, const RunSettings& settings) {
    Station s;
    s.name = o.run.station;
    s.file_path = o.file.path;
    s.file_sha256 = o.file.sha256;
    s.run = o.run;
    // Every board's run follows the same sequence: checked once, here.
    s.run.sequence = sequence_file_of(o.run);
    Sequence sequence;
    std::string error;
    if (!load_sequence(s.run.sequence, sequence, error)) return trouble(error);
    if (!s.run.image.empty()) {
        char resolved[PATH_MAX];
        if (realpath(s.run.image.c_str(), resolved) == nullptr) {
            return trouble(s.run.image + ": " + strerror(errno));
        }
        s.run.image = resolved;
    }
    s.folder = o.folder;
    FolderLock lock;
    if (!make_run_folder(s.folder, s.name, lock, error)) return trouble(error);
    if (is_station_folder(s.folder)) {
        return trouble(s.folder + ": holds a station's run already (--resume continues it)");
    }
    for (const Socket& socket : o.file.sockets) {
        const auto given = std::find_if(o.serials.begin(), o.serials.end(),
                                        [&](const auto& x) { return x.first == socket.name; });
        if (given == o.serials.end()) {
            s.not_run.emplace_back(socket.name, "no serial given");
            continue;
        }
        Board b;
        b.socket = socket.name;
        b.serial = given->second;
        b.device = socket.device;
        b.env = socket.env;
        b.folder = s.folder + "/" + socket.name;
        s.boards.push_back(std::move(b));
    }
    s.started = utc_now();
    if (!write_summary(s)) return kTrouble;
    printf("Station %s: %zu board%s in %s\n", terminal_safe(s.name).c_str(), s.boards.size(),
           s.boards.size() == 1 ? "" : "s", terminal_safe(s.folder).c_str());
    return run_boards(s, settings);
}

int resume_station(const std::string& folder, const RunSettings& settings) {
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) {
        return trouble(folder + ": " + strerror(errno));
    }
    Station s;
    s.folder = resolved;
    FolderLock lock;
    std::string error;
    if (!lock.take(s.folder, error)) return trouble(error);
    FilePart bytes;
    if (!read_file_part(s.folder, kSummaryFile, std::size_t{16} << 20, false, bytes)) {
        return trouble(s.folder + "/" + kSummaryFile + ": " + strerror(errno));
    }
    const nlohmann::json doc = nlohmann::json::parse(bytes.bytes, nullptr, false);
    if (doc.is_discarded() || !station_from(doc, s, error)) {
        return trouble(s.folder + "/" + kSummaryFile + ": " + (error.empty() ? "no JSON" : error));
    }
    // A board whose run ended stays as it is; one that began is taken up,
    // one that never began starts now.
    std::string taken_up;
    for (Board& b : s.boards) {
        struct stat st;
        b.resume = lstat((b.folder + "/record.jsonl").c_str(), &st) == 0;
        if (b.resume) {
            RunRecord r;
            bool cut = false;
            if (!replay(b.folder + "/record.jsonl", r, cut, error)) return trouble(error);
            b.run = !r.verdict || *r.verdict == Verdict::aborted;
        }
        if (b.run) taken_up += (taken_up.empty() ? "" : ", ") + b.socket;
    }
    printf("Resuming station %s in %s: %s\n", terminal_safe(s.name).c_str(),
           terminal_safe(s.folder).c_str(),
           taken_up.empty() ? "every board ended already" : terminal_safe(taken_up).c_str());
    return run_boards(s, settings);
}
