// What the live view's tests share: a free port, a viewer started in a test's
// folder, a browser's stream kept open, raw requests from another loopback
// address, and records written as a station writes them.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cursor.h"
#include "process.h"
#include "wait.h"

namespace test_support {

using json = nlohmann::json;

inline void append(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::app | std::ios::binary);
    out << text;
}

inline int folder_fd(const std::filesystem::path& dir) {
    return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

inline void started_run(const std::filesystem::path& folder, const std::string& started,
                        const std::string& serial = "S") {
    std::filesystem::create_directories(folder);
    write_file(folder / "record.jsonl", R"({"event":"run_started","serial":")" + serial +
                                            R"(","started":")" + started + "\"}\n");
}

// A port no one listens on.
inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

// An event block's data, with its name under "_event" when it is no line.
inline std::optional<nlohmann::json> parsed_event(const std::string& block) {
    const std::size_t data_at = block.find("data: ");
    if (data_at == std::string::npos) return {};
    nlohmann::json data = nlohmann::json::parse(block.substr(data_at + 6));
    const std::size_t name_at = block.find("event: ");
    if (name_at != std::string::npos) {
        data["_event"] = block.substr(name_at + 7, block.find('\n', name_at) - name_at - 7);
    }
    return data;
}

// A browser's stream kept open in the background, its events as they come.
class Watcher {
public:
    Watcher(int port, const std::string& last_id) : client_("127.0.0.1", port) {
        thread_ = std::thread([this, last_id] {
            httplib::Headers headers;
            if (!last_id.empty()) headers.emplace("Last-Event-ID", last_id);
            std::string text;
            client_.Get("/events", headers, [&](const char* data, std::size_t n) {
                text.append(data, n);
                for (std::size_t end; (end = text.find("\n\n")) != std::string::npos;) {
                    const std::string block = text.substr(0, end);
                    text.erase(0, end + 2);
                    std::lock_guard<std::mutex> hold(mutex_);
                    if (block.rfind("id: ", 0) == 0) {
                        id_ = block.substr(4, block.find('\n') - 4);
                        longest_id_ = std::max(longest_id_, id_.size());
                    }
                    if (block.find("event: clock") == std::string::npos) {
                        if (const std::optional<nlohmann::json> e = parsed_event(block))
                            events_.push_back(*e);
                    }
                }
                return !stopping_;
            });
        });
    }
    ~Watcher() {
        stopping_ = true;
        client_.stop();
        thread_.join();
    }
    // Waits until `done` holds of the events so far; false when time runs out.
    bool wait_until(const std::function<bool(const std::vector<nlohmann::json>&)>& done,
                    std::chrono::seconds timeout = std::chrono::seconds(20)) {
        return test_support::wait_until(
            [&] {
                std::lock_guard<std::mutex> hold(mutex_);
                return done(events_);
            },
            timeout, std::chrono::milliseconds(20));
    }
    std::string id() {
        std::lock_guard<std::mutex> hold(mutex_);
        return id_;
    }
    std::size_t longest_id() {
        std::lock_guard<std::mutex> hold(mutex_);
        return longest_id_;
    }

private:
    httplib::Client client_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<nlohmann::json> events_;
    std::string id_;
    std::size_t longest_id_ = 0;
};

// Whether `events` holds one for `run` whose record has `key` = `value`.
inline bool has(const std::vector<nlohmann::json>& events, const std::string& run,
                const std::string& key, const json& value) {
    return std::any_of(events.begin(), events.end(), [&](const json& e) {
        return e.value("run", "") == run && e.contains("record") &&
               e["record"].value(key, json()) == value;
    });
}

class StationView : public ::testing::Test {
protected:
    void SetUp() override { port_ = free_port(); }
    test_support::Launch viewer(const std::filesystem::path& folder) const {
        return test_support::launch_in(dir.path(), STATION_VIEW_BIN,
                                       {std::to_string(port_), folder.string()});
    }
    // Starts the viewer and waits until it serves.
    std::unique_ptr<Process> serve(const std::filesystem::path& folder) {
        auto p = std::make_unique<Process>(viewer(folder));
        EXPECT_TRUE(p->wait_for_output("Serving the runs", std::chrono::seconds(10)));
        return p;
    }
    // The events a stream sends, up to `count` of them, after `last_id`.
    std::vector<nlohmann::json> events(std::size_t count, const std::string& last_id = "",
                                       std::string* id = nullptr) const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(5, 0);
        httplib::Headers headers;
        if (!last_id.empty()) headers.emplace("Last-Event-ID", last_id);
        std::vector<nlohmann::json> out;
        std::string text;
        client.Get("/events", headers, [&](const char* data, std::size_t n) {
            text.append(data, n);
            for (std::size_t end;
                 out.size() < count && (end = text.find("\n\n")) != std::string::npos;) {
                const std::string block = text.substr(0, end);
                text.erase(0, end + 2);
                if (block.find("event: clock") != std::string::npos) continue;
                const std::optional<nlohmann::json> event = parsed_event(block);
                if (!event) continue;
                if (id && block.rfind("id: ", 0) == 0) *id = block.substr(4, block.find('\n') - 4);
                out.push_back(*event);
            }
            return out.size() < count;
        });
        return out;
    }
    // The id after `lines` of each run's record, as record() writes them.
    static std::string id_of(const std::vector<std::pair<std::string, std::uint64_t>>& lines) {
        Cursor c;
        for (const auto& [run, n] : lines) c[record_key(run, kFirstLine)] = n;
        return cursor_text(c);
    }
    static constexpr const char* kFirstLine =
        R"({"event":"run_started","serial":"S","started":"2026-12-09T08:00:00.000Z"})";
    void record(const std::string& run, int from, int to) const {
        std::filesystem::create_directories(dir / "runs" / run);
        for (int i = from; i <= to; ++i) {
            append(dir / "runs" / run / "record.jsonl",
                   i == 1 ? std::string(kFirstLine) + "\n"
                          : R"({"event":"note","n":)" + std::to_string(i) + "}\n");
        }
    }

    TempDir dir;
    int port_ = 0;
};

// A request as a browser on `from` (a loopback address) sends it; the whole
// answer, or what came before `timeout`.
inline std::string raw_request(const std::string& from, int port, const std::string& request,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source = {}, to = {};
    source.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &source.sin_addr);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    timeval wait = {static_cast<time_t>(timeout.count() / 1000),
                    static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
    }
    close(fd);
    return answer;
}

inline std::size_t descriptors_of(pid_t pid) {
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}

}  // namespace test_support
