#include "locks.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

std::vector<Grant> LockBroker::next_of(const std::string& lock) const {
    const auto it = queues_.find(lock);
    if (it == queues_.end() || it->second.empty()) return {};
    const int board = it->second.front();
    const auto ask = asks_.find({board, lock});
    return {{board, lock, ask == asks_.end() ? "" : ask->second}};
}

std::vector<Grant> LockBroker::ask(int board, const std::string& lock, const std::string& ask) {
    asks_[{board, lock}] = ask;
    std::deque<int>& q = queues_[lock];
    if (std::find(q.begin(), q.end(), board) != q.end()) return {};  // asked already
    q.push_back(board);
    return q.size() == 1 ? next_of(lock) : std::vector<Grant>{};
}

std::vector<Grant> LockBroker::give_back(int board, const std::string& lock) {
    const auto it = queues_.find(lock);
    if (it == queues_.end()) return {};
    std::deque<int>& q = it->second;
    const bool held = !q.empty() && q.front() == board;
    std::erase(q, board);
    asks_.erase({board, lock});
    if (q.empty()) {
        queues_.erase(it);
        return {};
    }
    return held ? next_of(lock) : std::vector<Grant>{};
}

std::vector<Grant> LockBroker::gone(int board) {
    std::vector<std::string> locks;
    for (const auto& [lock, q] : queues_) {
        if (std::find(q.begin(), q.end(), board) != q.end()) locks.push_back(lock);
    }
    std::vector<Grant> grants;
    for (const std::string& lock : locks) {
        for (Grant& g : give_back(board, lock)) grants.push_back(std::move(g));
    }
    return grants;
}

int LockBroker::holder(const std::string& lock) const {
    const auto it = queues_.find(lock);
    return it == queues_.end() || it->second.empty() ? -1 : it->second.front();
}

std::string lock_message(const char* verb, const std::string& lock, const std::string& ask) {
    return std::string(verb) + " " + lock + (ask.empty() ? "" : " " + ask);
}

bool read_lock_message(const std::string& message, std::string& verb, std::string& lock,
                       std::string& ask) {
    const std::size_t space = message.find(' ');
    if (space == std::string::npos || space + 1 == message.size()) return false;
    verb = message.substr(0, space);
    const std::size_t second = message.find(' ', space + 1);
    lock = message.substr(space + 1, second == std::string::npos ? second : second - space - 1);
    ask = second == std::string::npos ? "" : message.substr(second + 1);
    return !lock.empty() && (verb == "ask" || verb == "give" || verb == "grant");
}

namespace {

bool send_message(int fd, const std::string& message) {
    for (;;) {
        if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

LockWait take_lock(int fd, const std::string& lock, double timeout_s, int stop_fd,
                   const volatile sig_atomic_t* signals) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(timeout_s));
    static unsigned long asked = 0;
    const std::string ask = std::to_string(++asked);
    if (!send_message(fd, lock_message("ask", lock, ask))) return LockWait::station_gone;
    for (;;) {
        if (signals != nullptr && *signals > 0) {
            give_back_lock(fd, lock);
            return LockWait::stopped;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) {
            give_back_lock(fd, lock);
            return LockWait::timed_out;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (poll(fds, stop_fd >= 0 ? 2 : 1,
                 static_cast<int>(std::min<long long>(left.count(), 60'000))) < 0) {
            if (errno == EINTR) continue;
            return LockWait::station_gone;
        }
        if (fds[0].revents == 0) continue;  // a signal or the time: seen above
        char buffer[256];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return LockWait::station_gone;
        std::string verb, name, answered;
        if (read_lock_message(std::string(buffer, static_cast<std::size_t>(n)), verb, name,
                              answered) &&
            verb == "grant" && name == lock && answered == ask) {
            return LockWait::granted;
        }
    }
}

void give_back_lock(int fd, const std::string& lock) {
    send_message(fd, lock_message("give", lock));
}
