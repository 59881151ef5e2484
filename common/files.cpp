#include "files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "guard.h"

namespace {

// Bytes a write is handed at once, so that a stop is seen during a long write.
constexpr std::size_t kWriteChunk = std::size_t{4} << 20;

// Every signal that would end the program while a file is half-named.
void block_ending_signals(sigset_t* saved) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
        sigaddset(&set, sig);
    }
    sigprocmask(SIG_BLOCK, &set, saved);
}

std::string random_suffix() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Uniqueness comes from O_EXCL and the retries; this only spreads names.
        static unsigned counter = 0;
        const unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter;
        for (std::size_t i = 0; i < sizeof bytes; i++)
            bytes[i] = static_cast<unsigned char>(seed >> (4 * i));
    }
    std::string out;
    for (unsigned char b : bytes) out += kChars[b % (sizeof kChars - 1)];
    return out;
}

// A file named "<name>.XXXXXX" beside the target, removed by a second signal.
bool open_named_temp(Replacement& r, mode_t mode) {
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string temp = r.name + "." + random_suffix();
        r.fd = openat(r.dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0600);
        if (r.fd >= 0) {
            r.temp = temp;
            const std::size_t slash = r.target.rfind('/');
            const std::string path =
                slash == std::string::npos ? temp : r.target.substr(0, slash + 1) + temp;
            remove_on_signal(path.c_str());
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Gives an unnamed file the target's name directly where there is none yet,
// else a temporary name to be renamed.
bool name_unnamed(Replacement& r) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", r.fd);
    if (linkat(AT_FDCWD, proc_path, r.dir_fd, r.name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) return false;
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string temp = r.name + "." + random_suffix();
        if (linkat(AT_FDCWD, proc_path, r.dir_fd, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            r.temp = temp;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

}  // namespace

bool write_all(int fd, const void* data, std::size_t size, const volatile sig_atomic_t* stop) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        if (stop != nullptr && *stop != 0) {
            errno = EINTR;
            return false;
        }
        const ssize_t n = write(fd, p, size < kWriteChunk ? size : kWriteChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return false;
            pollfd ready = {fd, POLLOUT, 0};
            poll(&ready, 1, 100);
            continue;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string find_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

mode_t new_file_mode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool begin_replacement(const std::string& path, Replacement& r, bool follow_link) {
    r = Replacement{};
    r.target = path;
    struct stat st;
    const bool link = lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    if (link && !follow_link) {
        // The link goes; the new file takes its name with the mode a new file gets.
    } else if (link) {
        char* resolved = realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return false;  // a dangling link is never followed into a file
        r.target = resolved;
        std::free(resolved);
    }
    if (!(link && !follow_link) && stat(r.target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    const mode_t mode = link && !follow_link ? new_file_mode("") : new_file_mode(r.target);
    const std::size_t slash = r.target.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : r.target.substr(0, slash);
    r.name = slash == std::string::npos ? r.target : r.target.substr(slash + 1);
    r.dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (r.dir_fd < 0) return false;

    r.fd = openat(r.dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (r.fd >= 0) {
        // Naming it later goes through /proc; without that, take a named file now.
        char proc_path[64];
        std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", r.fd);
        if (access(proc_path, F_OK) != 0) {
            close(r.fd);
            r.fd = -1;
        }
    }
    if ((r.fd < 0 && !open_named_temp(r, mode)) || fchmod(r.fd, mode) != 0) {
        const int saved = errno;
        abandon_replacement(r);
        errno = saved;
        return false;
    }
    return true;
}

bool commit_replacement(Replacement& r) {
    bool ok = fsync(r.fd) == 0;
    sigset_t saved;
    block_ending_signals(&saved);
    if (ok && r.temp.empty()) ok = name_unnamed(r);
    int saved_errno = errno;
    if (close(r.fd) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    r.fd = -1;
    if (ok && !r.temp.empty()) {
        ok = renameat(r.dir_fd, r.temp.c_str(), r.dir_fd, r.name.c_str()) == 0;
        if (!ok) saved_errno = errno;
    }
    if (ok) r.temp.clear();
    if (!r.temp.empty()) unlinkat(r.dir_fd, r.temp.c_str(), 0);
    remove_on_signal(nullptr);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (ok) fsync(r.dir_fd);  // the new name on the disk too; the data already is
    close(r.dir_fd);
    r = Replacement{};
    errno = saved_errno;
    return ok;
}

void abandon_replacement(Replacement& r) {
    const int saved = errno;
    if (r.fd >= 0) close(r.fd);
    if (!r.temp.empty()) {
        unlinkat(r.dir_fd, r.temp.c_str(), 0);
        remove_on_signal(nullptr);
    }
    if (r.dir_fd >= 0) close(r.dir_fd);
    r = Replacement{};
    errno = saved;
}

bool write_file_whole(const std::string& path, const std::string& bytes, bool follow_link) {
    Replacement r;
    if (!begin_replacement(path, r, follow_link)) return false;
    if (!write_all(r.fd, bytes.data(), bytes.size())) {
        abandon_replacement(r);
        return false;
    }
    return commit_replacement(r);
}

bool read_file_part(const std::string& folder, const std::string& name, std::size_t most,
                    bool from_end, FilePart& out) {
    out = FilePart{};
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int saved = errno;
    close(dir);
    if (fd < 0) {
        errno = saved;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    out.size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t take = std::min<std::uint64_t>(out.size, most);
    off_t at = from_end ? static_cast<off_t>(out.size - take) : 0;
    out.bytes.resize(static_cast<std::size_t>(take));
    std::size_t got = 0;
    while (got < out.bytes.size()) {
        const ssize_t n = pread(fd, out.bytes.data() + got, out.bytes.size() - got, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
        at += n;
    }
    out.bytes.resize(got);
    close(fd);
    return true;
}

bool read_whole_file(const std::string& path, std::string& out) {
    out.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return false;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}
