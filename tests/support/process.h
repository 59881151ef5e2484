// Runs a built program as a test rig would: in a folder of its own, with the
// simulated library's controls in its environment, collecting what it prints.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// Where the child's standard output goes.
enum class Stdout {
    captured,     // a pipe read into Result::out
    closed,       // descriptor 1 closed, as some service managers start programs
    full,         // "/dev/full": every write fails with ENOSPC
    broken_pipe,  // a pipe whose reading end is already closed
    slow_pipe,    // a pipe of one page, nearly full and read only after a while,
                  // that takes a part of a write and then none (O_NONBLOCK)
};

// Where the child's standard input comes from.
enum class Stdin {
    inherited,  // the test's own
    pipe,       // a pipe the test writes with type() and closes with end_input()
    terminal,   // a pseudo-terminal, the child's controlling one, typed at the same way
};

struct Launch {
    std::vector<std::string> argv;              // argv[0] is the program's path
    std::map<std::string, std::string> env;     // added to a copy without ORLIX_SIM_*
    std::filesystem::path cwd;                  // the child's working folder
    std::optional<rlim_t> address_space_limit;  // RLIMIT_AS in bytes
    std::optional<rlim_t> file_size_limit;      // RLIMIT_FSIZE in bytes
    bool own_process_group = false;             // like a job started from a terminal
    Stdout stdout_to = Stdout::captured;
    Stdin stdin_from = Stdin::inherited;
    std::vector<int> ignored_signals;     // ignored from the start, as under nohup
    std::optional<uid_t> user;            // run as this user (and its group id), when root
    std::optional<rlim_t> process_limit;  // RLIMIT_NPROC: that user's processes and threads
};

struct Result {
    int exit_code = -1;   // valid when term_signal is 0
    int term_signal = 0;  // the signal that ended the child, or 0
    std::string out;
    std::string err;
};

class Process {
public:
    explicit Process(const Launch& launch);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // To the child alone, or like a terminal's Ctrl-C to its whole process group.
    void send_signal(int sig, bool to_group = false) const;
    // Reads output until `needle` has appeared on standard output or error;
    // false when the child ended or the time ran out first.
    bool wait_for_output(const std::string& needle, std::chrono::milliseconds timeout);
    // Reads the rest of the output and reaps the child.
    Result wait();
    pid_t pid() const { return pid_; }
    // What the child printed on its standard output so far.
    const std::string& out_so_far() const { return result_.out; }
    // Types `text` on the child's standard input (a pipe or its terminal).
    void type(const std::string& text);
    // Ends the input: the pipe closed, or the terminal's end-of-file typed.
    void end_input();

private:
    bool pump(int timeout_ms);  // false once both pipes are closed

    pid_t pid_ = -1;
    bool slow_ = false;  // read the slow pipe late, and drop its filling
    std::size_t filling_ = 0;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;  // the pipe's writing end, or the terminal's master
    bool terminal_ = false;
    Result result_;
    bool reaped_ = false;
};

Result run(const Launch& launch);

// `program` with `args`, run in `folder`, with `env` added to the environment.
Launch launch_in(const std::filesystem::path& folder, const std::string& program,
                 std::vector<std::string> args = {}, std::map<std::string, std::string> env = {});

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A small tmpfs mounted on a fresh folder, for a disk that fills; unmounted at
// the end. Mounting needs privileges: check mounted() and skip without.
class SmallDisk {
public:
    SmallDisk(const std::filesystem::path& where, const std::string& size);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }

private:
    std::filesystem::path where_;
    bool mounted_ = false;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);
std::vector<std::string> split_lines(const std::string& text);
// Expected lines written inline, also inside a test macro's arguments.
inline std::vector<std::string> lines_of(std::initializer_list<std::string> items) {
    return items;
}
// The lines of `a` followed by those of `b`.
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b);
// The lines of a file; empty when it does not exist.
std::vector<std::string> read_lines(const std::filesystem::path& path);
// The names of the files in `dir` that begin with `prefix`.
std::vector<std::string> files_starting(const std::filesystem::path& dir,
                                        const std::string& prefix);
// The lines of `text` that begin with `prefix`.
std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix);

}  // namespace test_support
