#include "board_processes.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "base/signal_wake.h"
#include "board/locks.h"
#include "board/operator.h"
#include "files.h"
#include "guard.h"

namespace {

constexpr std::size_t kLineMost = 64 * 1024;  // of a board's line shown at once

// What a board's run is given: the station's settings, its socket's device,
// serial and environment, its folder.
NewBoardRun run_of(const StationRecord& s, const StationBoard& b) {
    NewBoardRun r = s.run;
    r.serial = b.serial;
    r.device = b.device;
    r.output = b.folder;
    r.socket = b.socket;
    r.socket_env = b.env;
    r.station_file_sha256 = s.file_sha256;
    r.started_from = b.started_from;
    return r;
}

// The board's process: its own process group, so that a terminal's
// Ctrl-C reaches the station alone, which passes it on in socket order; gone
// with the station's process however that ends.
[[noreturn]] void board_process(const StationRecord& s, const BoardProcess& p, int lock_fd,
                                int out_fd, int err_fd, int typed_fd,
                                const std::vector<int>& station_fds, pid_t station,
                                RunSettings settings) {
    forget_caught_signals();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != station) _exit(kTrouble);
    setpgid(0, 0);
    if (dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0) _exit(kTrouble);
    for (int fd : station_fds) close(fd);
    close(out_fd);
    close(err_fd);
    if (typed_fd >= 0) fcntl(typed_fd, F_SETFD, 0);
    settings.lock_fd = lock_fd;
    // A board's process group is not the terminal's: it would stop on reading
    // it. The station passes on what is typed instead.
    settings.terminal_fd = typed_fd;
    const StationBoard& b = s.boards[p.board];
    const int status =
        p.resume ? resume_board(b.folder, settings) : run_board(run_of(s, b), settings);
    std::exit(status);
}

// Shows a board's output line by line under its socket's name.
void pass_on(const std::string& socket, int& fd, std::string& part, FILE* to) {
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0) part.append(buffer, static_cast<std::size_t>(n));
    // A line shown in pieces of a bound: one that never ends (a progress bar
    // redrawn with '\r') is never kept whole, nor shown as one.
    auto show = [&](std::size_t from, std::size_t to_end) {
        do {
            const std::size_t piece = std::min(to_end - from, kLineMost);
            fprintf(to, "[%s] %.*s\n", socket.c_str(), static_cast<int>(piece), part.data() + from);
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

// What the operator typed, to the board that asks.
void pass_typed(BoardProcess& b) {
    char buffer[4096];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0 && b.typed_fd >= 0) write_all(b.typed_fd, buffer, static_cast<std::size_t>(n));
}

void send_grants(const std::vector<BoardProcess>& boards, const std::vector<Grant>& grants) {
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
void serve_locks(std::vector<BoardProcess>& boards, std::size_t i, LockBroker& broker) {
    BoardProcess& b = boards[i];
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

}  // namespace

bool start_boards(const StationRecord& s, std::vector<BoardProcess>& processes,
                  const RunSettings& settings) {
    std::vector<int> station_fds;
    for (BoardProcess& b : processes) {
        int pair[2], out[2], err[2], typed[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
        if (settings.terminal_fd >= 0 && pipe2(typed, O_CLOEXEC) != 0) return false;
        station_fds.insert(station_fds.end(), {pair[0], out[0], err[0]});
        if (typed[1] >= 0) station_fds.push_back(typed[1]);
        fflush(stdout);
        fflush(stderr);
        const pid_t station = getpid();
        const pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            board_process(s, b, pair[1], out[1], err[1], typed[0], station_fds, station, settings);
        }
        setpgid(pid, pid);
        if (typed[0] >= 0) close(typed[0]);
        b.typed_fd = typed[1];
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

void watch_boards(const StationRecord& s, std::vector<BoardProcess>& boards, bool terminal) {
    LockBroker broker;
    sig_atomic_t passed_on = 0;
    int answering = -1;  // the board the operator answers
    for (;;) {
        // What was typed before a question does not answer it.
        const int holder = broker.holder(kOperatorTurn);
        if (terminal && holder != answering && holder >= 0) tcflush(STDIN_FILENO, TCIFLUSH);
        answering = holder;
        while (passed_on < signals_caught) {
            ++passed_on;
            for (const BoardProcess& b : boards) {
                if (b.pid > 0) kill(b.pid, termination_signal);
            }
        }
        std::vector<pollfd> fds = {{signal_wake_fd(), POLLIN, 0}};
        std::vector<std::pair<std::size_t, int>> owners = {{0, 0}};
        bool running = false;
        for (std::size_t i = 0; i < boards.size(); ++i) {
            BoardProcess& b = boards[i];
            if (b.pid <= 0) continue;
            if (b.lock_fd < 0 && b.out_fd < 0 && b.err_fd < 0) {
                while (waitpid(b.pid, &b.wait_status, 0) < 0 && errno == EINTR) {
                }
                b.pid = -1;
                if (b.typed_fd >= 0) close(b.typed_fd);
                b.typed_fd = -1;
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
        const bool typing = terminal && answering >= 0;
        if (typing) fds.push_back({STDIN_FILENO, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        if (typing && fds.back().revents != 0) {
            pass_typed(boards[static_cast<std::size_t>(answering)]);
            fds.pop_back();
        } else if (typing) {
            fds.pop_back();
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(signal_wake_fd(), drain, sizeof drain) > 0) {
            }
        }
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (fds[k].revents == 0) continue;
            const auto [i, which] = owners[k];
            BoardProcess& b = boards[i];
            const std::string& socket = s.boards[b.board].socket;
            if (which == 0) serve_locks(boards, i, broker);
            if (which == 1) pass_on(socket, b.out_fd, b.out_part, stdout);
            if (which == 2) pass_on(socket, b.err_fd, b.err_part, stderr);
        }
    }
}
