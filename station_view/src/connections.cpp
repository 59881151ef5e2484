#include "connections.h"

#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLastEventIdMost = 4096;  // past any this viewer sends
constexpr std::size_t kMostRanges = 4;

bool wait_for(int sock, short events, std::chrono::milliseconds most) {
    pollfd p = {sock, events, 0};
    for (;;) {
        const int n = poll(&p, 1, static_cast<int>(most.count()));
        if (n < 0 && errno == EINTR) continue;
        return n > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
    }
}

std::string address_of(const sockaddr_storage& a, socklen_t size, int* port) {
    char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "";
    getnameinfo(reinterpret_cast<const sockaddr*>(&a), size, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    if (port != nullptr) *port = std::atoi(service);
    return host;
}

std::size_t header_end(const std::string& block) {
    const std::size_t crlf = block.find("\r\n\r\n");
    const std::size_t lf = block.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
    return crlf < lf ? crlf + 4 : lf + 2;
}

// The whole header block within the deadline, and whatever followed it;
// false for a client too slow, too long or gone.
bool read_header_block(int sock, Clock::time_point until, std::size_t most, std::string& block) {
    char buffer[4096];
    while (header_end(block) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (block.size() >= most || left.count() <= 0 || !wait_for(sock, POLLIN, left))
            return false;
        const ssize_t n = recv(sock, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        block.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// The connection as the library reads and writes it: the header block read
// already first, then the socket, each wait bounded.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(int sock, std::string pending, std::chrono::milliseconds wait)
        : sock_(sock), pending_(std::move(pending)), wait_(wait) {}

    bool is_readable() const override {
        return at_ < pending_.size() || wait_for(sock_, POLLIN, wait_);
    }
    bool is_writable() const override { return wait_for(sock_, POLLOUT, wait_); }
    ssize_t read(char* ptr, size_t size) override {
        if (at_ < pending_.size()) {
            const std::size_t n = std::min(size, pending_.size() - at_);
            std::copy_n(pending_.data() + at_, n, ptr);
            at_ += n;
            return static_cast<ssize_t>(n);
        }
        if (!wait_for(sock_, POLLIN, wait_)) return -1;
        for (;;) {
            const ssize_t n = recv(sock_, ptr, size, 0);
            if (n >= 0 || errno != EINTR) return n;
        }
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        for (;;) {
            const ssize_t n = send(sock_, ptr, size, MSG_NOSIGNAL);
            if (n >= 0 || errno != EINTR) return n;
        }
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t size = sizeof a;
        if (getpeername(sock_, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
            ip = address_of(a, size, &port);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t size = sizeof a;
        if (getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
            ip = address_of(a, size, &port);
        }
    }
    socket_t socket() const override { return sock_; }

private:
    const int sock_;
    const std::string pending_;
    std::size_t at_ = 0;
    const std::chrono::milliseconds wait_;
};

}  // namespace

std::string header_for_library(const std::string& block) {
    const std::size_t end = header_end(block);
    const std::string head = block.substr(0, end),
                      rest = end == std::string::npos ? "" : block.substr(end);
    std::string out;
    for (std::size_t at = 0; at < head.size();) {
        std::size_t next = head.find('\n', at);
        next = next == std::string::npos ? head.size() : next + 1;
        const std::string line = head.substr(at, next - at);
        const bool too_long_id =
            line.size() > kLastEventIdMost && strncasecmp(line.c_str(), "last-event-id:", 14) == 0;
        const bool too_many_ranges =
            strncasecmp(line.c_str(), "range:", 6) == 0 &&
            !ranges_acceptable(line.substr(6, line.find_last_not_of("\r\n") - 5));
        if (!too_long_id && !too_many_ranges) out += line;
        at = next;
    }
    return out + rest;
}

bool ranges_acceptable(const std::string& value) {
    const std::size_t start = value.find_first_not_of(' ');
    if (start == std::string::npos || value.compare(start, 6, "bytes=") != 0) return true;
    std::vector<std::pair<long long, long long>> spans;
    for (std::size_t at = start + 6; at <= value.size();) {
        std::size_t end = value.find(',', at);
        if (end == std::string::npos) end = value.size();
        const std::string span = value.substr(at, end - at);
        const std::size_t dash = span.find('-');
        const std::string first = dash == std::string::npos ? span : span.substr(0, dash);
        const std::string last = dash == std::string::npos ? "" : span.substr(dash + 1);
        auto number = [](const std::string& text) -> long long {
            const std::size_t a = text.find_first_not_of(' '), b = text.find_last_not_of(' ');
            if (a == std::string::npos) return -1;
            const std::string digits = text.substr(a, b - a + 1);
            if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) {
                return -2;
            }
            return std::stoll(digits);
        };
        spans.emplace_back(number(first), number(last));
        if (spans.size() > kMostRanges) return false;
        at = end + 1;
    }
    if (spans.size() == 1) return true;
    // Browsers ask for several only as bounded spans; an open or suffix one
    // among several cannot be checked without the size.
    for (const auto& [first, last] : spans) {
        if (first < 0 || last < first) return false;
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].first <= spans[i - 1].second) return false;
    }
    return true;
}

bool ViewServer::bind(const std::string& host, int port) {
    return bind_to_port(host, port) && ::listen(svr_sock_, SOMAXCONN) == 0;
}

bool ViewServer::admit(const std::string& address) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::size_t& n = by_address_[address];
    if (n >= limits_.per_address) return false;
    ++n;
    return true;
}

void ViewServer::leave(const std::string& address) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (--by_address_[address] == 0) by_address_.erase(address);
}

bool ViewServer::process_and_close_socket(socket_t sock) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const std::string address = getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &size) == 0
                                    ? address_of(peer, size, nullptr)
                                    : "";
    bool served = false;
    if (admit(address)) {
        std::string block;
        if (read_header_block(sock, Clock::now() + limits_.headers, limits_.header_bytes, block)) {
            ConnectionStream stream(sock, header_for_library(block), limits_.wait);
            bool closed = false;
            served = process_request(stream, true, closed, nullptr);
        }
        leave(address);
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return served;
}
