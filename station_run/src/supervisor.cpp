#include "supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "files.h"
#include "guard.h"

namespace {

using Clock = std::chrono::steady_clock;

// Copies what a file gained since `offset` to standard output.
void copy_new_output(const std::string& path, off_t& offset) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[65536];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, offset)) > 0) {
        fwrite(buf, 1, static_cast<size_t>(n), stdout);
        offset += n;
    }
    fflush(stdout);
    close(fd);
}

// Keeps the step's process group from outliving station_run: it waits for
// the end of a pipe whose other end station_run holds, which closes when
// station_run closes it after the step or dies, however it dies; then the
// group is killed.
pid_t start_keeper(pid_t group, int* pipe_write_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_IGN);
        if (dup2(ends[0], STDIN_FILENO) < 0) _exit(1);
        close_range(STDOUT_FILENO, ~0U, 0);  // hold nothing of station_run's open
        char byte;
        while (read(STDIN_FILENO, &byte, 1) != 0 && errno == EINTR) {
        }
        kill(-group, SIGKILL);
        _exit(0);
    }
    close(ends[0]);
    if (pid < 0) {
        close(ends[1]);
        return -1;
    }
    *pipe_write_end = ends[1];
    return pid;
}

}  // namespace

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count()));
    return text;
}

Outcome supervise(const Supervision& s) {
    Outcome o;
    const int out_fd = open(s.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = open(s.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    o.started = o.ended = utc_now();
    if (out_fd < 0 || err_fd < 0 || null_fd < 0) {
        o.failure = std::string("cannot open the output files: ") + strerror(errno);
        for (int fd : {out_fd, err_fd, null_fd}) {
            if (fd >= 0) close(fd);
        }
        return o;
    }
    std::vector<char*> argv;
    for (const std::string& a : s.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // station_run died before the line above
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        restore_output_signals();
        if (dup2(null_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
            dup2(err_fd, STDERR_FILENO) < 0 || chdir(s.folder.c_str()) != 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        const char* why = strerror(errno);
        if (write(STDERR_FILENO, "station_run: cannot run the program: ", 37) < 0 ||
            write(STDERR_FILENO, why, strlen(why)) < 0 || write(STDERR_FILENO, "\n", 1) < 0) {
        }
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    close(null_fd);
    if (pid < 0) {
        o.failure = std::string("cannot start a process: ") + strerror(errno);
        return o;
    }
    setpgid(pid, pid);  // whichever of the two runs first
    int keeper_pipe = -1;
    const pid_t keeper = start_keeper(pid, &keeper_pipe);
    // Readable once the step ends, so that the wait needs no polling.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    const auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    auto deadline = start + seconds(s.timeout_s);
    bool terminated = false;  // SIGTERM sent: the grace period runs
    off_t out_offset = 0, err_offset = 0;
    for (;;) {
        // Seen ended but not reaped: its group stays its own until it is.
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            break;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            if (terminated) {
                kill(-pid, SIGKILL);
                deadline = Clock::time_point::max();
            } else {
                o.timed_out = !o.stopped;
                kill(-pid, SIGTERM);
                terminated = true;
                deadline = now + seconds(s.grace_s);
            }
            continue;
        }
        long wait_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (s.live || pidfd < 0) wait_ms = std::min(wait_ms, pidfd < 0 ? 10L : 100L);
        pollfd fds[2] = {{pidfd, POLLIN, 0}, {terminated ? -1 : s.stop_fd, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::min(wait_ms, 60'000L)));
        if (fds[1].revents != 0 && !terminated) {
            o.stopped = true;
            kill(-pid, SIGTERM);
            terminated = true;
            deadline = Clock::now() + seconds(s.grace_s);
        }
        if (s.live) {
            copy_new_output(s.stdout_path, out_offset);
            copy_new_output(s.stderr_path, err_offset);
        }
    }
    const auto end = Clock::now();
    if (s.live) {
        copy_new_output(s.stdout_path, out_offset);
        copy_new_output(s.stderr_path, err_offset);
    }
    kill(-pid, SIGKILL);  // whatever the step started and left behind
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pidfd >= 0) close(pidfd);
    if (keeper > 0) {
        close(keeper_pipe);
        while (waitpid(keeper, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    o.ended = utc_now();
    o.duration_s = std::chrono::duration<double>(end - start).count();
    if (WIFEXITED(status)) o.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
    return o;
}
