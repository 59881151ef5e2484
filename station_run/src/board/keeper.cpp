#include "keeper.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "guard.h"

namespace {

void report(int fd, char kind, int value) {
    const Report r{kind, value};
    if (write(fd, &r, sizeof r) < 0) {
        // station_run is gone; the keeper cleans up all the same.
    }
}

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

// Kills every process left, and reaps them, until none is left: a process
// whose parent dies comes to the keeper and is killed in the next round.
void kill_everything(pid_t step_group) {
    for (;;) {
        signal_all(step_group, SIGKILL);
        if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) return;
    }
}

}  // namespace

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
