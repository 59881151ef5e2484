#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace test_support {
namespace {

[[noreturn]] void die(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<std::string> child_environment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool replaced = extra.count(entry.substr(0, entry.find('='))) != 0;
        if (entry.rfind("ORLIX_SIM_", 0) != 0 && entry.rfind("ORLIX_DEVICE=", 0) != 0 &&
            !replaced) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

Process::Process(const Launch& launch) {
    std::vector<std::string> args = launch.argv;
    std::vector<std::string> env = child_environment(launch.env);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    const std::string cwd = launch.cwd.string();

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) die("pipe2");
    const int full_fd =
        launch.stdout_to == Stdout::full ? open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;
    if (launch.stdout_to == Stdout::full && full_fd < 0) die("/dev/full");
    if (launch.stdout_to == Stdout::broken_pipe) {
        close(out_pipe[0]);
        out_pipe[0] = -1;
    }
    if (launch.stdout_to == Stdout::slow_pipe) {
        slow_ = true;
        if (fcntl(out_pipe[1], F_SETPIPE_SZ, 4096) < 0) die("F_SETPIPE_SZ");
        const std::string filling(4000, '.');
        if (write(out_pipe[1], filling.data(), filling.size()) != 4000) die("filling a pipe");
        filling_ = filling.size();
        fcntl(out_pipe[1], F_SETFL, O_NONBLOCK);
    }

    int in_pipe[2] = {-1, -1};
    std::string terminal;
    if (launch.stdin_from == Stdin::pipe && pipe2(in_pipe, O_CLOEXEC) != 0) die("pipe2");
    if (launch.stdin_from == Stdin::terminal) {
        terminal_ = true;
        in_pipe[1] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (in_pipe[1] < 0 || grantpt(in_pipe[1]) != 0 || unlockpt(in_pipe[1]) != 0) {
            die("posix_openpt");
        }
        terminal = ptsname(in_pipe[1]);
    }

    pid_ = fork();
    if (pid_ < 0) die("fork");
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (!terminal.empty()) {
            // A session of its own, whose controlling terminal this is.
            setsid();
            const int fd = open(terminal.c_str(), O_RDWR);
            if (fd < 0) _exit(124);
            dup2(fd, STDIN_FILENO);
        } else if (in_pipe[0] >= 0) {
            dup2(in_pipe[0], STDIN_FILENO);
        }
        dup2(err_pipe[1], STDERR_FILENO);
        if (launch.stdout_to == Stdout::closed) {
            close(STDOUT_FILENO);
        } else {
            dup2(launch.stdout_to == Stdout::full ? full_fd : out_pipe[1], STDOUT_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) signal(sig, SIG_DFL);
        for (int sig : launch.ignored_signals) signal(sig, SIG_IGN);
        if (launch.address_space_limit) {
            const rlimit lim{*launch.address_space_limit, *launch.address_space_limit};
            setrlimit(RLIMIT_AS, &lim);
        }
        if (launch.file_size_limit) {
            const rlimit lim{*launch.file_size_limit, *launch.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (launch.own_process_group) setpgid(0, 0);
        if (launch.process_limit) {
            const rlimit lim{*launch.process_limit, *launch.process_limit};
            setrlimit(RLIMIT_NPROC, &lim);
        }
        if (launch.user && (setgid(*launch.user) != 0 || setuid(*launch.user) != 0)) _exit(125);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (launch.own_process_group) setpgid(pid_, pid_);  // whichever side runs first
    if (full_fd >= 0) close(full_fd);
    if (in_pipe[0] >= 0) close(in_pipe[0]);
    in_fd_ = in_pipe[1];
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
    if (in_fd_ >= 0) close(in_fd_);
}

void Process::type(const std::string& text) {
    if (in_fd_ < 0) die("type: no input to type on");
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = write(in_fd_, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) die("type");
        at += static_cast<std::size_t>(n);
    }
}

void Process::end_input() {
    if (in_fd_ < 0) return;
    if (terminal_) {
        type("\x04");  // the terminal's end-of-file, at the start of a line
        return;
    }
    close(in_fd_);
    in_fd_ = -1;
}

void Process::send_signal(int sig, bool to_group) const {
    if (!reaped_) kill(to_group ? -pid_ : pid_, sig);
}

bool Process::pump(int timeout_ms) {
    if (slow_) {
        slow_ = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    const int n = poll(fds, 2, timeout_ms);
    if (n < 0 && errno != EINTR) die("poll");
    std::string* sinks[2] = {&result_.out, &result_.err};
    int* fd_slots[2] = {&out_fd_, &err_fd_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buf[65536];
        const ssize_t got = read(fds[i].fd, buf, sizeof buf);
        if (got > 0) {
            std::size_t skip = 0;
            if (i == 0) {
                skip = std::min(filling_, static_cast<std::size_t>(got));
                filling_ -= skip;
            }
            sinks[i]->append(buf + skip, static_cast<std::size_t>(got) - skip);
        } else if (got == 0 || errno != EINTR) {
            close(*fd_slots[i]);
            *fd_slots[i] = -1;
        }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

bool Process::wait_for_output(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result_.out.find(needle) == std::string::npos &&
           result_.err.find(needle) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(static_cast<int>(left.count()))) {
            return result_.out.find(needle) != std::string::npos ||
                   result_.err.find(needle) != std::string::npos;
        }
    }
    return true;
}

Result Process::wait() {
    while (pump(-1)) {
    }
    if (!reaped_) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR) die("waitpid");
        }
        reaped_ = true;
        if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result_.term_signal = WTERMSIG(status);
    }
    return result_;
}

Result run(const Launch& launch) {
    return Process(launch).wait();
}

Launch launch_in(const std::filesystem::path& folder, const std::string& program,
                 std::vector<std::string> args, std::map<std::string, std::string> env) {
    Launch l;
    l.argv = {program};
    l.argv.insert(l.argv.end(), args.begin(), args.end());
    l.env = std::move(env);
    l.cwd = folder;
    return l;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orlix_test_XXXXXX").string();
    if (!mkdtemp(pattern.data())) die("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

SmallDisk::SmallDisk(const std::filesystem::path& where, const std::string& size) : where_(where) {
    std::filesystem::create_directories(where);
    mounted_ = mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

SmallDisk::~SmallDisk() {
    if (mounted_) umount2(where_.c_str(), MNT_DETACH);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> read_lines(const std::filesystem::path& path) {
    return split_lines(read_file(path));
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : split_lines(text)) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

std::vector<std::string> files_starting(const std::filesystem::path& dir,
                                        const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) found.push_back(name);
    }
    return found;
}

}  // namespace test_support
