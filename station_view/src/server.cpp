#include "server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "escape.h"
#include "page.h"
#include "runs.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWriteBytes = 256 * 1024;  // of events written at a time
constexpr auto kRescan = std::chrono::seconds(1);
constexpr auto kHeartbeat = std::chrono::seconds(10);
constexpr std::size_t kReportMost = std::size_t{64} << 20;
constexpr std::size_t kMostParts = 3;  // a run, a station's board, under a folder of runs

std::atomic<std::size_t> open_streams{0};

// One browser's event stream: where it is in each record.
struct Stream {
    ViewSettings settings;
    Cursor cursor;
    std::map<std::string, std::unique_ptr<RecordTail>> tails;
    Clock::time_point scanned{}, wrote = Clock::now();
    bool greeted = false;
    ~Stream() { --open_streams; }
};

// The viewer's clock, so that the page counts deadlines down by it.
std::string clock_event() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return "event: clock\ndata: {\"now\":" + std::to_string(now) + "}\n\n";
}

// The new whole lines of every record followed, each an event whose id is
// the cursor just past it.
void gather(Stream& s, std::string& out) {
    const auto now = Clock::now();
    if (now - s.scanned >= kRescan) {
        s.scanned = now;
        for (const std::string& folder : find_runs(s.settings.dir_fd, s.settings.most_runs)) {
            if (s.tails.count(folder) != 0) continue;
            const auto known = s.cursor.find(folder);
            s.tails[folder] = std::make_unique<RecordTail>(
                s.settings.dir_fd, folder, known == s.cursor.end() ? 0 : known->second);
        }
    }
    for (auto& [folder, tail] : s.tails) {
        if (out.size() >= kWriteBytes) return;
        const std::vector<std::string> lines = tail->next_lines(kWriteBytes - out.size());
        std::uint64_t number = tail->lines() - lines.size();
        for (const std::string& line : lines) {
            s.cursor[folder] = ++number;
            out += "id: " + cursor_text(s.cursor) + "\ndata: " + event_data(folder, number, line) +
                   "\n\n";
        }
    }
}

void serve_events(const httplib::Request& req, httplib::Response& res, const ViewSettings& v) {
    if (++open_streams > v.most_streams) {
        --open_streams;
        res.status = 503;
        res.set_content("Too many viewers at once\n", "text/plain; charset=utf-8");
        return;
    }
    auto stream = std::make_shared<Stream>();
    stream->settings = v;
    stream->cursor = cursor_from(req.get_header_value("Last-Event-ID"));
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_chunked_content_provider(
        "text/event-stream", [stream](std::size_t, httplib::DataSink& sink) {
            Stream& s = *stream;
            std::string out;
            if (!s.greeted) {
                // A dropped connection is taken up again at once.
                out = "retry: 250\n\n" + clock_event();
                s.greeted = true;
            }
            for (;;) {
                if (s.settings.stopping && s.settings.stopping->load()) return false;
                gather(s, out);
                if (Clock::now() - s.wrote >= kHeartbeat) out += clock_event();
                if (!out.empty()) {
                    s.wrote = Clock::now();
                    return sink.write(out.data(), out.size());
                }
                if (!sink.is_writable()) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(s.settings.poll_ms));
            }
        });
}

void serve_report(const httplib::Request& req, httplib::Response& res, const ViewSettings& v) {
    std::string folder;
    int fd = -1;
    if (report_folder(req.matches[1].str(), folder)) {
        fd = open_beneath(v.dir_fd, folder == "." ? "report.html" : folder + "/report.html",
                          O_RDONLY);
    }
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > kReportMost) {
        if (fd >= 0) close(fd);
        res.status = 404;
        res.set_content("No such finished run\n", "text/plain; charset=utf-8");
        return;
    }
    std::string page(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < page.size()) {
        const ssize_t n = pread(fd, page.data() + got, page.size() - got, static_cast<off_t>(got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    page.resize(got);
    // The run's page holds no script; should a step's text slip into it as
    // markup, nothing runs.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; img-src data:");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(page, "text/html; charset=utf-8");
}

}  // namespace

std::string event_data(const std::string& folder, std::uint64_t line, const std::string& text) {
    std::string out = "{\"run\":" + nlohmann::json(utf8_repaired(folder)).dump() +
                      ",\"line\":" + std::to_string(line);
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_object() && text.find('\r') == std::string::npos && utf8_repaired(text) == text) {
        return out + ",\"record\":" + text + "}";
    }
    return out + ",\"text\":" + nlohmann::json(utf8_repaired(text)).dump() + "}";
}

bool report_folder(const std::string& path, std::string& folder) {
    if (path == ".") {  // the folder is a run itself
        folder = path;
        return true;
    }
    std::size_t parts = 0;
    std::size_t at = 0;
    for (;;) {
        const std::size_t slash = path.find('/', at);
        const std::string part = path.substr(at, slash == std::string::npos ? slash : slash - at);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos ||
            ++parts > kMostParts) {
            return false;
        }
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    folder = path;
    return true;
}

void set_up_view(httplib::Server& server, const ViewSettings& v) {
    // Twice what one address may hold at once: another's page always finds
    // a worker.
    const std::size_t threads = 2 * (v.most_streams + 8);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(4096);
    server.set_tcp_nodelay(true);
    // SO_REUSEADDR alone: a second viewer on the port is refused (the
    // library's SO_REUSEPORT would share it), and a viewer started again
    // binds past the connections its killed predecessor left waiting.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy", view_page_policy());
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Cache-Control", "no-store");
        res.set_content(view_page(), "text/html; charset=utf-8");
    });
    server.Get("/events", [v](const httplib::Request& req, httplib::Response& res) {
        serve_events(req, res, v);
    });
    server.Get(
        R"(/runs/(.+)/report\.html)",
        [v](const httplib::Request& req, httplib::Response& res) { serve_report(req, res, v); });
}
