#include "supervisor.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files.h"
#include "guard.h"
#include "times.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// What the keeper tells station_run, one record a write.
struct Report {
    char kind;  // 'P' the step's pid, 'E' exec's errno, 'F' fork's errno, 'X' wait status
    int value;
};

void report(int fd, char kind, int value) {
    const Report r{kind, value};
    if (write(fd, &r, sizeof r) < 0) {
        // station_run is gone; the keeper cleans up all the same.
    }
}

// ---- The keeper. It runs in a session of its own, so that no signal to
// station_run's process group reaches it, and is the subreaper of the step:
// every process the step leaves behind, a daemon that called setsid
// included, becomes its child. It uses system calls only: station_run may
// have threads when it forks.

// The keeper's children, found in /proc; at most `room` of them.
int children_of(pid_t parent, pid_t* out, int room) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return 0;
    int found = 0;
    char entries[8192];
    long n;
    while (found < room && (n = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0) {
        for (long at = 0; at < n && found < room;) {
            const auto* e = reinterpret_cast<const dirent64*>(entries + at);
            at += e->d_reclen;
            pid_t pid = 0;
            const char* c = e->d_name;
            for (; *c >= '0' && *c <= '9'; ++c) pid = pid * 10 + (*c - '0');
            if (*c != '\0' || pid <= 0) continue;
            // "<pid>/stat", without the C library's formatting.
            char path[32];
            char digits[16];
            int length = 0;
            for (pid_t v = pid; v > 0; v /= 10) digits[length++] = static_cast<char>('0' + v % 10);
            int k = 0;
            while (length > 0) path[k++] = digits[--length];
            std::memcpy(path + k, "/stat", 6);
            const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            char stat[512];
            const ssize_t got = read(fd, stat, sizeof stat - 1);
            close(fd);
            if (got <= 0) continue;
            stat[got] = '\0';
            // "pid (comm) state ppid ...": the name may hold anything but ends at the last ')'.
            const char* close_paren = std::strrchr(stat, ')');
            if (close_paren == nullptr) continue;
            pid_t ppid = 0;
            const char* p = close_paren + 2;
            while (*p != '\0' && *p != ' ') ++p;
            for (++p; *p >= '0' && *p <= '9'; ++p) ppid = ppid * 10 + (*p - '0');
            if (ppid == parent) out[found++] = pid;
        }
    }
    close(proc);
    return found;
}

// The step's group, and each process that left it and came to the keeper,
// each once: a second SIGTERM would end a program of the suite at once.
void signal_all(pid_t step_group, int sig) {
    kill(-step_group, sig);
    pid_t children[256];
    const int n = children_of(getpid(), children, 256);
    for (int i = 0; i < n; ++i) {
        const pid_t group = getpgid(children[i]);
        if (group == step_group) continue;
        kill(group == children[i] ? -group : children[i], sig);  // its own group, when it made one
    }
}

// The keeper does not answer (a step stopped it, or it is stuck): station_run
// kills the step's group, each process that came to the keeper, and the
// keeper, so that no deadline waits on it.
void kill_without_keeper(pid_t keeper, pid_t step_group) {
    if (step_group > 0) kill(-step_group, SIGKILL);
    pid_t children[256];
    const int n = children_of(keeper, children, 256);
    for (int i = 0; i < n; ++i) {
        const pid_t group = getpgid(children[i]);
        kill(group == children[i] ? -group : children[i], SIGKILL);
    }
    kill(keeper, SIGKILL);
}

// Kills every process left, and reaps them, until none is left: a process
// whose parent dies comes to the keeper and is killed in the next round.
void kill_everything(pid_t step_group) {
    for (;;) {
        signal_all(step_group, SIGKILL);
        if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) return;
    }
}

struct KeeperFds {
    int commands;  // from station_run: 'T' SIGTERM, 'K' SIGKILL, end of file: all gone
    int reports;   // to station_run
    int out, err, null;
};

[[noreturn]] void keeper(const KeeperFds& fds, char* const* argv, char* const* envp,
                         const char* folder) {
    setsid();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_IGN);
    // Nothing of station_run's stays open here but what the keeper needs.
    int keep[] = {fds.commands, fds.reports, fds.out, fds.err, fds.null};
    std::sort(std::begin(keep), std::end(keep));
    unsigned from = 0;
    for (int fd : keep) {
        if (static_cast<unsigned>(fd) > from) close_range(from, static_cast<unsigned>(fd) - 1, 0);
        from = static_cast<unsigned>(fd) + 1;
    }
    close_range(from, ~0U, 0);
    // Descriptors 0 to 2 taken, so that no pipe made here lands on one the
    // step's own replace.
    for (int fd = 0; fd <= 2; ++fd) dup2(fds.null, fd);

    int exec_pipe[2];
    if (pipe2(exec_pipe, O_CLOEXEC) != 0) {
        report(fds.reports, 'F', errno);
        _exit(1);
    }
    const pid_t self = getpid();
    const pid_t step = fork();
    if (step == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self) _exit(127);  // the keeper died before the line above
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
        restore_output_signals();
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(fds.null, STDIN_FILENO) < 0 || dup2(fds.out, STDOUT_FILENO) < 0 ||
            dup2(fds.err, STDERR_FILENO) < 0 || chdir(folder) != 0) {
            const int e = errno;
            if (write(exec_pipe[1], &e, sizeof e) < 0) _exit(127);
            _exit(127);
        }
        execve(argv[0], argv, envp);
        const int e = errno;
        if (write(exec_pipe[1], &e, sizeof e) < 0) _exit(127);
        _exit(127);
    }
    close(exec_pipe[1]);
    close(fds.out);
    close(fds.err);
    close(fds.null);
    if (step < 0) {
        report(fds.reports, 'F', errno);
        _exit(1);
    }
    setpgid(step, step);  // whichever of the two runs first
    report(fds.reports, 'P', step);
    int exec_errno = 0;
    if (read(exec_pipe[0], &exec_errno, sizeof exec_errno) == sizeof exec_errno) {
        report(fds.reports, 'E', exec_errno);
    }
    close(exec_pipe[0]);

    // Readable once the step ends, so that the wait needs no polling.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, step, 0));
    bool commands_open = true;
    for (;;) {
        // Seen ended but not reaped: its group stays its own until it is.
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(step), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == step) {
            break;
        }
        pollfd wait[2] = {{pidfd, POLLIN, 0}, {commands_open ? fds.commands : -1, POLLIN, 0}};
        poll(wait, 2, pidfd < 0 ? 10 : -1);
        if (wait[1].revents == 0) continue;
        char command = 0;
        const ssize_t n = read(fds.commands, &command, 1);
        if (n == 1 && command == 'T') {
            signal_all(step, SIGTERM);
        } else if (n == 1 && command == 'K') {
            signal_all(step, SIGKILL);
        } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            signal_all(step, SIGKILL);  // station_run is gone
            commands_open = false;
        }
    }
    kill(-step, SIGKILL);  // whatever the step started and left behind
    int status = 0;
    while (waitpid(step, &status, 0) < 0 && errno == EINTR) {
    }
    kill_everything(step);
    report(fds.reports, 'X', status);
    _exit(0);
}

// ---- station_run's side.

// The live copy of a step's output on station_run's standard output. It
// never blocks: what a slow or stopped reader cannot take now waits in a
// bounded buffer, and what does not fit is dropped with a note (the files
// keep everything).
class LiveConsole {
public:
    explicit LiveConsole(bool on) {
        if (!on) return;
        fflush(stdout);
        struct stat st;
        if (fstat(STDOUT_FILENO, &st) != 0) return;
        if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            // A description of its own, so that O_NONBLOCK stays ours.
            fd_ = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            own_ = fd_ >= 0;
        }
        if (fd_ < 0 && S_ISSOCK(st.st_mode)) socket_ = true;
        if (fd_ < 0) fd_ = STDOUT_FILENO;
    }
    ~LiveConsole() {
        if (own_) close(fd_);
    }
    LiveConsole(const LiveConsole&) = delete;
    LiveConsole& operator=(const LiveConsole&) = delete;

    bool on() const { return fd_ >= 0; }
    bool waiting() const { return on() && !pending_.empty(); }
    int fd() const { return fd_; }

    void add(const char* data, std::size_t n, const std::string& file) {
        if (!on()) return;
        if (pending_.size() + n > kRoom) {
            dropped_ += n;
            dropped_file_ = file;
            return;
        }
        pending_.append(data, n);
        flush();
    }
    // Writes what the reader takes now.
    void flush() {
        while (on() && !pending_.empty()) {
            const std::size_t size = std::min<std::size_t>(pending_.size(), 4096);
            const ssize_t n = socket_
                                  ? send(fd_, pending_.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : write(fd_, pending_.data(), size);
            if (n > 0) {
                pending_.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                note_stdout_error(errno);
                pending_.clear();
                fd_ = -1;
            }
            return;
        }
    }
    // At the step's end: a little time for a slow reader, then what is left
    // is dropped, and the drop noted where the step's result line goes, since
    // the deadline no longer waits on it.
    void finish() {
        const auto until = Clock::now() + std::chrono::milliseconds(250);
        while (waiting() && Clock::now() < until) {
            pollfd ready = {fd_, POLLOUT, 0};
            poll(&ready, 1, 50);
            flush();
        }
        if (!on()) return;
        dropped_ += pending_.size();
        pending_.clear();
        if (dropped_ == 0) return;
        char note[256];
        const int n =
            std::snprintf(note, sizeof note,
                          "[station_run: %llu bytes of the step's output were not shown "
                          "here, to keep to its deadline; %s has them]\n",
                          static_cast<unsigned long long>(dropped_), dropped_file_.c_str());
        if (n > 0) std::fputs(note, stdout);
    }

private:
    static constexpr std::size_t kRoom = std::size_t{1} << 20;
    int fd_ = -1;
    bool own_ = false, socket_ = false;
    std::string pending_;
    std::uint64_t dropped_ = 0;
    std::string dropped_file_;
};

// One stream of the step: its pipe, read into its file up to the limit.
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
