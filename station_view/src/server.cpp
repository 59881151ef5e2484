#include "server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "beneath.h"
#include "control_routes.h"
#include "cursor.h"
#include "escape.h"
#include "page.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWriteBytes = 256 * 1024;  // of events written at a time
constexpr auto kHeartbeat = std::chrono::seconds(10);
constexpr std::size_t kReportMost = std::size_t{64} << 20;
constexpr std::size_t kMostParts = 3;  // a run, a station's board, under a folder of runs
constexpr int kBusyRetryMs = 5000;

std::atomic<std::size_t> open_streams{0};

// One browser's event stream: the runs it follows and where it is in each.
struct Stream {
    ViewSettings settings;
    Cursor asked;  // from Last-Event-ID: where the browser was
    struct Followed {
        std::string folder;
        RecordReader reader;
    };
    std::map<std::string, Followed> followed;  // by record key
    std::uint64_t generation = ~std::uint64_t{0};
    std::string note;
    Clock::time_point wrote = Clock::now();
    bool greeted = false;
    ~Stream() { --open_streams; }

    // The id after an event: each run followed now, and its lines sent.
    std::string id() const {
        Cursor c;
        for (const auto& [key, f] : followed) c[key] = f.reader.lines();
        return cursor_text(c);
    }
};

// The viewer's clock, so that the page counts deadlines down by it.
std::string clock_event() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return "event: clock\ndata: {\"now\":" + std::to_string(now) + "}\n\n";
}

std::string folder_json(const std::string& folder) {
    return nlohmann::json(utf8_repaired(folder)).dump();
}

// The runs followed brought up to the index's: a run no longer among the
// latest is dropped and the page told; a run new to the stream is read from
// where the browser left off (a record it never had, from its first line).
void follow(Stream& s, std::string& out) {
    const std::shared_ptr<const RunList> list = s.settings.index->runs();
    if (list->generation == s.generation) return;
    s.generation = list->generation;
    for (auto it = s.followed.begin(); it != s.followed.end();) {
        const bool kept = std::any_of(list->runs.begin(), list->runs.end(),
                                      [&](const FollowedRun& r) { return r.key == it->first; });
        if (kept) {
            ++it;
            continue;
        }
        const std::string folder = it->second.folder;
        it = s.followed.erase(it);
        out += "id: " + s.id() + "\nevent: gone\ndata: {\"run\":" + folder_json(folder) + "}\n\n";
    }
    for (const FollowedRun& r : list->runs) {
        if (s.followed.count(r.key) != 0) continue;
        const auto at = s.asked.find(r.key);
        s.followed.emplace(
            r.key, Stream::Followed{r.folder,
                                    RecordReader(r.record, at == s.asked.end() ? 0 : at->second)});
    }
    if (list->note != s.note) {
        s.note = list->note;
        out += "event: folder\ndata: {\"note\":" + nlohmann::json(utf8_repaired(s.note)).dump() +
               "}\n\n";
    }
}

// The new whole lines of every record followed, each an event whose id is
// where the stream is just past it.
void gather(Stream& s, std::string& out) {
    follow(s, out);
    for (auto& [key, f] : s.followed) {
        if (out.size() >= kWriteBytes) return;
        const std::vector<std::string> lines = f.reader.next_lines(kWriteBytes - out.size());
        std::uint64_t number = f.reader.lines() - lines.size();
        for (const std::string& line : lines) {
            ++number;
            out += "id: " + s.id() + "\ndata: " + event_data(f.folder, number, line) + "\n\n";
        }
    }
}

void serve_events(const httplib::Request& req, httplib::Response& res, const ViewSettings& v) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    if (++open_streams > v.most_streams) {
        // A refusal an EventSource would never ask past: a place is asked
        // for again in a while, and the page says why it waits.
        --open_streams;
        res.set_content("retry: " + std::to_string(kBusyRetryMs) +
                            "\nevent: busy\ndata: {\"streams\":" + std::to_string(v.most_streams) +
                            "}\n\n",
                        "text/event-stream");
        return;
    }
    auto stream = std::make_shared<Stream>();
    stream->settings = v;
    stream->asked = cursor_from(req.get_header_value("Last-Event-ID"));
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

void serve_report(const std::string& path, httplib::Response& res, const ViewSettings& v) {
    std::string folder;
    int fd = -1;
    const std::shared_ptr<const OpenFolder> dir = v.index->folder();
    if (report_folder(path, folder)) {
        fd = open_beneath(dir->fd, folder == "." ? "report.html" : folder + "/report.html",
                          O_RDONLY | O_NONBLOCK);
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

bool host_allowed(const httplib::Request& req, const std::vector<std::string>& hosts) {
    if (hosts.empty()) return true;
    std::string host = req.get_header_value("Host");
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(hosts.begin(), hosts.end(), host) != hosts.end();
}

}  // namespace

std::vector<std::string> hosts_for(const std::string& address, int port) {
    if (address == "0.0.0.0" || address == "::") return {};
    std::string p = std::to_string(port);
    p.insert(p.begin(), ':');
    // Appended, not prefixed: g++ 12 at -O3 takes `"[" + s` for an overlapping copy.
    std::string name;
    const bool v6 = address.find(':') != std::string::npos;
    if (v6) name.push_back('[');
    name.append(address);
    if (v6) name.push_back(']');
    std::vector<std::string> hosts = {name + p};
    if (port == 80) hosts.push_back(name);
    if (address.rfind("127.", 0) == 0 || address == "::1" || address == "localhost") {
        hosts.push_back("localhost" + p);
        if (port == 80) hosts.push_back("localhost");
    }
    for (std::string& h : hosts) {
        std::transform(h.begin(), h.end(), h.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    return hosts;
}

std::string event_data(const std::string& folder, std::uint64_t line, const std::string& text) {
    std::string out = "{\"run\":" + folder_json(folder) + ",\"line\":" + std::to_string(line);
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_object() && text.find('\r') == std::string::npos && utf8_repaired(text) == text) {
        return out + ",\"record\":" + text + "}";
    }
    return out + ",\"text\":" + nlohmann::json(utf8_repaired(text)).dump() + "}";
}

bool report_folder(const std::string& path, std::string& folder) {
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
    // A page on another site that reaches this viewer under its own name (by
    // rebinding that name to this address) is refused.
    server.set_pre_routing_handler([v](const httplib::Request& req, httplib::Response& res) {
        if (!host_allowed(req, v.hosts)) {
            res.status = 421;
            res.set_content("This viewer answers only for its own address\n",
                            "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/", [v](const httplib::Request& req, httplib::Response& res) {
        res.set_header("Content-Security-Policy", view_page_policy());
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Cache-Control", "no-store");
        // The operator's page carries its session's token; no other page is framed.
        res.set_header("X-Frame-Options", "DENY");
        const std::string token =
            v.control ? v.control->token_for(req.get_header_value("Cookie")) : "";
        res.set_content(view_page(token), "text/html; charset=utf-8");
    });
    add_control_routes(server, v);
    server.Get("/events", [v](const httplib::Request& req, httplib::Response& res) {
        serve_events(req, res, v);
    });
    // The folder is a run itself: its page at /runs/report.html, which a
    // browser does not turn into another path.
    server.Get("/runs/report.html",
               [v](const httplib::Request&, httplib::Response& res) { serve_report(".", res, v); });
    server.Get(R"(/runs/(.+)/report\.html)",
               [v](const httplib::Request& req, httplib::Response& res) {
                   serve_report(req.matches[1].str(), res, v);
               });
}
