#include "supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/times.h"
#include "files.h"
#include "keeper.h"
#include "live_console.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Stream {
    int pipe = -1;
    int file = -1;
    std::string name;  // the file's name, for the console's note
    StreamCount count;

    // Takes what the pipe holds; false at its end.
    bool take(std::uint64_t limit, LiveConsole& live) {
        char buf[65536];
        for (int reads = 0; reads < 16; ++reads) {
            const ssize_t n = read(pipe, buf, sizeof buf);
            if (n == 0) return false;
            if (n < 0) return errno == EINTR || errno == EAGAIN;
            const std::uint64_t size = static_cast<std::uint64_t>(n);
            if (count.bytes < limit) {
                const std::uint64_t kept = std::min(size, limit - count.bytes);
                if (!write_all(file, buf, kept)) {
                    // A file that takes no more is cut like a full one.
                    count.cut = true;
                }
            }
            if (count.bytes + size > limit) count.cut = true;
            count.bytes += size;
            live.add(buf, static_cast<std::size_t>(n), name);
        }
        return true;
    }
};

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// How long the keeper has to carry out a kill before station_run does it.
constexpr auto kKeeperAnswers = std::chrono::seconds(2);

}  // namespace

Outcome supervise(const Supervision& s) {
    Outcome o;
    o.started = o.ended = utc_now();
    o.begun = Clock::now();
    Stream out, err;
    out.name = s.stdout_path;
    err.name = s.stderr_path;
    out.file = open(s.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    err.file = open(s.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1}, commands[2] = {-1, -1},
        reports[2] = {-1, -1};
    const bool ready = out.file >= 0 && err.file >= 0 && null_fd >= 0 &&
                       pipe2(out_pipe, O_CLOEXEC) == 0 && pipe2(err_pipe, O_CLOEXEC) == 0 &&
                       pipe2(commands, O_CLOEXEC) == 0 && pipe2(reports, O_CLOEXEC) == 0;
    const std::string why = ready ? "" : strerror(errno);
    auto close_all = [&] {
        for (int* fd : {&out.file, &err.file, &null_fd, &out_pipe[0], &out_pipe[1], &err_pipe[0],
                        &err_pipe[1], &commands[0], &commands[1], &reports[0], &reports[1]}) {
            close_fd(*fd);
        }
    };
    if (!ready) {
        o.failure = "cannot prepare the step's files and pipes: " + why;
        close_all();
        return o;
    }
    // Fewer wake-ups under a flood of output.
    fcntl(out_pipe[0], F_SETPIPE_SZ, 1 << 20);
    fcntl(err_pipe[0], F_SETPIPE_SZ, 1 << 20);

    std::vector<std::string> args = s.argv;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(s.env.begin(), s.env.end(), [&](const std::string& x) {
            return x.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), s.env.begin(), s.env.end());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t keeper_pid = fork();
    if (keeper_pid == 0) {
        keeper({commands[0], reports[1], out_pipe[1], err_pipe[1], null_fd}, argv.data(),
               envp.data(), s.folder.c_str());
    }
    const int fork_errno = errno;
    close_fd(commands[0]);
    close_fd(reports[1]);
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);
    close_fd(null_fd);
    out.pipe = out_pipe[0];
    err.pipe = err_pipe[0];
    if (keeper_pid < 0) {
        o.failure = std::string("cannot start a process: ") + strerror(fork_errno);
        close_all();
        return o;
    }
    for (int fd : {out.pipe, err.pipe, reports[0]}) fcntl(fd, F_SETFL, O_NONBLOCK);

    LiveConsole live(s.live);
    auto command = [&](char c) {
        if (write(commands[1], &c, 1) < 0) {
            // The keeper is gone; its end of the pipe tells it nothing more.
        }
    };
    auto deadline = o.begun + seconds(s.timeout_s);
    enum { running, terminating, killing } phase = running;
    pid_t step = 0;
    std::optional<int> status;
    bool keeper_gone = false, keeper_killed = false;
    bool out_open = true, err_open = true;
    while (!status && !keeper_gone) {
        const auto now = Clock::now();
        const int signals = s.signals ? *s.signals : 0;
        if (signals >= 2 && o.stopped && phase != killing) {
            command('K');
            o.stopped_at_once = true;
            phase = killing;
            deadline = now + kKeeperAnswers;
        } else if (now >= deadline) {
            if (phase == running) {
                o.timed_out = !o.stopped;
                command('T');
                phase = terminating;
                deadline = now + seconds(s.grace_s);
            } else if (phase == terminating) {
                command('K');
                phase = killing;
                deadline = now + kKeeperAnswers;
            } else {
                kill_without_keeper(keeper_pid, step);
                keeper_killed = true;
                break;
            }
            continue;
        }
        const long wait_ms =
            deadline == Clock::time_point::max()
                ? 60'000L
                : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        pollfd fds[5] = {{reports[0], POLLIN, 0},
                         {out_open ? out.pipe : -1, POLLIN, 0},
                         {err_open ? err.pipe : -1, POLLIN, 0},
                         {phase == killing ? -1 : s.stop_fd, POLLIN, 0},
                         {live.waiting() ? live.fd() : -1, POLLOUT, 0}};
        poll(fds, 5, static_cast<int>(std::min(wait_ms, 60'000L)));
        if (fds[1].revents != 0) out_open = out.take(s.output_limit, live);
        if (fds[2].revents != 0) err_open = err.take(s.output_limit, live);
        if (fds[4].revents != 0) live.flush();
        if (fds[3].revents != 0) {
            char drained[64];
            while (read(s.stop_fd, drained, sizeof drained) > 0) {
            }
            if (!o.stopped) {
                o.stopped = true;
                if (phase == running) {
                    command('T');
                    phase = terminating;
                    deadline = Clock::now() + seconds(s.grace_s);
                }
            }
        }
        if (fds[0].revents != 0) {
            Report r{};
            ssize_t n;
            while ((n = read(reports[0], &r, sizeof r)) == sizeof r) {
                if (r.kind == 'P') step = r.value;
                if (r.kind == 'E') o.failure = "cannot run " + s.argv[0] + ": " + strerror(r.value);
                if (r.kind == 'F')
                    o.failure = std::string("cannot start a process: ") + strerror(r.value);
                if (r.kind == 'X') status = r.value;
            }
            if (n == 0 && !status) keeper_gone = true;
        }
    }
    const auto end = Clock::now();
    if (keeper_killed && o.failure.empty() && !o.timed_out && !o.stopped) {
        o.failure = "the step's keeper did not carry out its kill";
    } else if (keeper_gone) {
        // Not seen unless someone killed the keeper: the step goes the same way.
        if (step > 0) kill(-step, SIGKILL);
        if (o.failure.empty()) o.failure = "the step's keeper ended before the step";
    }
    // Every writer is gone now; what the pipes still hold goes to the files.
    const auto drain_until = Clock::now() + std::chrono::seconds(1);
    while ((out_open || err_open) && Clock::now() < drain_until) {
        pollfd fds[2] = {{out_open ? out.pipe : -1, POLLIN, 0},
                         {err_open ? err.pipe : -1, POLLIN, 0}};
        poll(fds, 2, 100);
        if (fds[0].revents != 0) out_open = out.take(s.output_limit, live);
        if (fds[1].revents != 0) err_open = err.take(s.output_limit, live);
    }
    live.finish();
    close_all();
    while (waitpid(keeper_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    o.ended = utc_now();
    o.duration_s = std::chrono::duration<double>(end - o.begun).count();
    o.out = out.count;
    o.err = err.count;
    if (status && o.failure.empty()) {
        if (WIFEXITED(*status)) o.exit_status = WEXITSTATUS(*status);
        if (WIFSIGNALED(*status)) o.signal = WTERMSIG(*status);
    }
    return o;
}
