#include "live_console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "guard.h"

LiveConsole::LiveConsole(bool on) {
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

LiveConsole::~LiveConsole() {
    if (own_) close(fd_);
}

void LiveConsole::add(const char* data, std::size_t n, const std::string& file) {
    if (!on()) return;
    if (pending_.size() + n > kRoom) {
        dropped_ += n;
        dropped_file_ = file;
        return;
    }
    pending_.append(data, n);
    flush();
}

void LiveConsole::flush() {
    while (on() && !pending_.empty()) {
        const std::size_t size = std::min<std::size_t>(pending_.size(), 4096);
        const ssize_t n = socket_ ? send(fd_, pending_.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL)
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

void LiveConsole::finish() {
    using Clock = std::chrono::steady_clock;
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
    const int n = std::snprintf(note, sizeof note,
                                "[station_run: %llu bytes of the step's output were not shown "
                                "here, to keep to its deadline; %s has them]\n",
                                static_cast<unsigned long long>(dropped_), dropped_file_.c_str());
    if (n > 0) std::fputs(note, stdout);
}
