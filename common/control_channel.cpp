#include "control_channel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "files.h"

namespace {

std::string unique_name(const std::string& kind) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    unsigned int salt = 0;
    if (getrandom(&salt, sizeof salt, 0) != static_cast<ssize_t>(sizeof salt)) salt = 0;
    char name[96];
    snprintf(name, sizeof name, "%s-%019lld-%08x.json", kind.c_str(), static_cast<long long>(ns),
             salt);
    return name;
}

}  // namespace

bool make_control_folder(const std::string& folder) {
    const std::string path = folder + "/" + kControlFolder;
    if (mkdir(path.c_str(), 0700) == 0) return true;
    struct stat st;
    return errno == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool post_control(int control_fd, const std::string& kind, const std::string& body) {
    if (body.size() > kControlMessageMost) {
        errno = EMSGSIZE;
        return false;
    }
    const std::string name = unique_name(kind);
    const std::string temp = "." + name;  // never taken: not of any kind
    const int fd = openat(control_fd, temp.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = write_all(fd, body.data(), body.size());
    const int error = errno;
    close(fd);
    if (!written || renameat(control_fd, temp.c_str(), control_fd, name.c_str()) != 0) {
        const int kept = written ? errno : error;
        unlinkat(control_fd, temp.c_str(), 0);
        errno = kept;
        return false;
    }
    return true;
}

std::vector<std::string> take_control(const std::string& folder, const std::string& kind) {
    std::vector<std::string> out;
    const std::string path = folder + "/" + kControlFolder;
    const int dir_fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) return out;
    DIR* dir = fdopendir(dir_fd);
    if (dir == nullptr) {
        close(dir_fd);
        return out;
    }
    std::vector<std::string> names;
    const std::string prefix = kind + "-";
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind(prefix, 0) == 0 && name.size() > 5 &&
            name.compare(name.size() - 5, 5, ".json") == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        std::string body;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::size_t>(st.st_size) <= kControlMessageMost) {
            body.resize(static_cast<std::size_t>(st.st_size));
            const ssize_t n = pread(fd, body.data(), body.size(), 0);
            body.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        if (fd >= 0) close(fd);
        // Taken once, whoever else looks.
        if (unlinkat(dir_fd, name.c_str(), 0) == 0 && !body.empty()) out.push_back(body);
    }
    closedir(dir);
    return out;
}

bool renew_view_lease(int control_fd) {
    const int fd =
        openat(control_fd, "view", O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool renewed = futimens(fd, nullptr) == 0;
    close(fd);
    return renewed;
}

bool view_follows(const std::string& run_folder) {
    std::string folder = run_folder;
    const auto now = std::chrono::system_clock::now();
    for (int up = 0; up < 3; ++up) {
        struct stat st;
        const std::string lease = folder + "/" + kControlFolder + "/view";
        if (lstat(lease.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            const auto renewed = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
            if (now - renewed < std::chrono::seconds(kViewLeaseS)) return true;
        }
        folder += "/..";
    }
    return false;
}
