#include "run_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The serial as a part of a folder's name: letters, digits, '-', '_' and '.',
// never a leading '.'.
std::string folder_name_of(const std::string& serial) {
    std::string name;
    for (char c : serial) {
        name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'
                    ? c
                    : '_';
    }
    if (name.empty() || name[0] == '.') name = std::string("_") + name;
    return name;
}

}  // namespace

FolderLock::~FolderLock() {
    if (fd_ >= 0) close(fd_);
}

bool FolderLock::take(const std::string& folder, std::string& error) {
    const std::string path = folder + "/run.lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // A record lock: the kernel names its holder, and drops it when the
    // holder dies. Only this object opens the file, so no other close drops it.
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd_, F_SETLK, &lock) == 0) return true;
    const int why = errno;
    struct flock holder = {};
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    if ((why == EAGAIN || why == EACCES) && fcntl(fd_, F_GETLK, &holder) == 0 &&
        holder.l_type != F_UNLCK) {
        error = folder + ": another station_run (process " + std::to_string(holder.l_pid) +
                ") works on this run";
    } else {
        error = path + ": " + std::strerror(why);
    }
    close(fd_);
    fd_ = -1;
    return false;
}

bool new_run_folder(const std::string& parent, const std::string& serial, std::string& folder,
                    std::string& error) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    if (mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) {
        error = parent + ": " + strerror(errno);
        return false;
    }
    std::string base = parent + "/";
    base += folder_name_of(serial);
    base += '-';
    base += stamp;
    for (int n = 1; n < 100; ++n) {
        folder = n == 1 ? base : base + "-" + std::to_string(n);
        if (mkdir(folder.c_str(), 0777) == 0) return true;
        if (errno != EEXIST) break;
    }
    error = folder + ": " + strerror(errno);
    return false;
}

bool make_run_folder(std::string& folder, const std::string& serial, FolderLock& lock,
                     std::string& error, const std::string& parent) {
    if (folder.empty()) {
        if (!new_run_folder(parent, serial, folder, error)) return false;
    } else if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        error = folder + ": " + strerror(errno);
        return false;
    }
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) {
        error = folder + ": " + strerror(errno);
        return false;
    }
    folder = resolved;
    if (!lock.take(folder, error)) return false;
    struct stat st;
    if (lstat((folder + "/record.jsonl").c_str(), &st) == 0) {
        error = folder + ": holds a run already (--resume continues it)";
        return false;
    }
    return true;
}
