#include "beneath.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

int open_beneath(int dir_fd, const std::string& relative, int flags) {
    if (relative == ".") return openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::vector<std::string> parts;
    for (std::size_t at = 0;;) {
        const std::size_t slash = relative.find('/', at);
        parts.push_back(relative.substr(at, slash == std::string::npos ? slash : slash - at));
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    for (const std::string& p : parts) {
        if (p.empty() || p == "." || p == ".." || p.find('\0') != std::string::npos) {
            errno = EINVAL;
            return -1;
        }
    }
    int at = dir_fd;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const int fd = openat(at, parts[i].c_str(),
                              (last ? flags : O_RDONLY | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        if (at != dir_fd) close(at);
        errno = saved;
        if (fd < 0) return -1;
        at = fd;
    }
    return at;
}
