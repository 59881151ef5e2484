#include "output_guard.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool is_server(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

}  // namespace

bool may_write_output(const std::string& path, const std::string& start, const std::string& history,
                      std::string& why) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        why = std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) return true;  // the link is replaced, never written through
    struct stat kept;
    if (!is_server(history) && stat(history.c_str(), &kept) == 0 && kept.st_dev == st.st_dev &&
        kept.st_ino == st.st_ino) {
        why = "is the history " + history + ": left as it is";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "is no plain file";
        return false;
    }
    if (st.st_size == 0) return true;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    char head[64] = "";
    const ssize_t n = fd < 0 ? -1 : pread(fd, head, sizeof head - 1, 0);
    if (fd >= 0) close(fd);
    if (n < 0) {
        why = std::strerror(errno);
        return false;
    }
    if (static_cast<std::size_t>(n) < start.size() ||
        strncasecmp(head, start.c_str(), start.size()) != 0) {
        why = "exists and is not a page station_run wrote: left as it is";
        return false;
    }
    return true;
}
