#include "control_routes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "beneath.h"
#include "control_channel.h"
#include "control_gate.h"

namespace {

using json = nlohmann::json;

constexpr std::size_t kSocketMost = 64, kSerialMost = 128, kAnswerMost = 1024;
constexpr const char* kWatchOnly =
    "This view only watches: start station_view with --control to act from it";

void say(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Why a request to act is refused, with its status; 0 when it may act.
// The body it carries is read only once the request has passed the rest.
int refusal(const httplib::Request& req, const ViewSettings& v, json& body, std::string& why) {
    if (!v.control) {
        why = kWatchOnly;
        return 403;
    }
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && lower(origin) != "http://" + lower(req.get_header_value("Host"))) {
        why = "A page of another site may not act here";
        return 403;
    }
    const std::string cookie = req.get_header_value("Cookie");
    if (v.control->token_for(cookie).empty()) {
        why = "No operator's session: open the link station_view printed when it started";
        return 403;
    }
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        why = "A request to act is JSON";
        return 415;
    }
    body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("token") || !body["token"].is_string() ||
        !v.control->allows(cookie, body["token"].get<std::string>())) {
        why = "The page's token is not this session's: load the page again";
        return 403;
    }
    return 0;
}

// A text field of at most `most` bytes, not empty; false when it is not one.
bool text_field(const json& body, const char* key, std::size_t most, std::string& out,
                bool empty_allowed = false) {
    if (!body.contains(key) || !body[key].is_string()) return false;
    out = body[key].get<std::string>();
    return out.size() <= most && (empty_allowed || !out.empty()) &&
           out.find('\0') == std::string::npos;
}

// Whether the record in `folder` below the view's says the run is going:
// its last line is no run's end. Only its tail is read.
bool run_going(int dir_fd, const std::string& prefix) {
    const int record = open_beneath(dir_fd, prefix + "record.jsonl", O_RDONLY | O_NONBLOCK);
    struct stat st;
    std::string tail;
    if (record >= 0 && fstat(record, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t from = std::max<off_t>(0, st.st_size - 4096);
        tail.resize(static_cast<std::size_t>(st.st_size - from));
        const ssize_t n = pread(record, tail.data(), tail.size(), from);
        tail.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (record >= 0) close(record);
    if (tail.empty()) return false;
    const std::size_t last = tail.rfind('\n', tail.size() - 2);
    return tail.find("\"event\":\"run_ended\"", last == std::string::npos ? 0 : last) ==
           std::string::npos;
}

// The control folder of the view's folder (`run` "."), or of a run below
// it that is going, so that nothing is dropped where no run looks.
int control_folder_of(const ViewSettings& v, const std::string& run, bool of_a_run) {
    const std::shared_ptr<const OpenFolder> dir = v.index->folder();
    const std::string prefix = run == "." ? "" : run + "/";
    if (of_a_run && !run_going(dir->fd, prefix)) return -1;
    return open_beneath(dir->fd, prefix + kControlFolder, O_RDONLY | O_DIRECTORY);
}

// The loop's state when a loop waits in the view's folder: renewed lately.
json waiting_loop(const ViewSettings& v) {
    const int dir = control_folder_of(v, ".", false);
    if (dir < 0) return nullptr;
    const int fd = openat(dir, "loop.json", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    close(dir);
    if (fd < 0) return nullptr;
    struct stat st;
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) <= kControlMessageMost) {
        text.resize(static_cast<std::size_t>(st.st_size));
        const ssize_t n = pread(fd, text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    close(fd);
    const auto age = std::chrono::system_clock::now() -
                     std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
    json state = json::parse(text, nullptr, false);
    if (!state.is_object() || age > std::chrono::seconds(kViewLeaseS)) return nullptr;
    return state;
}

// Drops a request in a control folder; the status says how it went.
void pass_on(httplib::Response& res, int control_fd, const std::string& kind, const json& request) {
    if (control_fd < 0) {
        say(res, 404, "No such run going here: it has ended, or takes no requests");
        return;
    }
    const bool posted = post_control(control_fd, kind, request.dump());
    close(control_fd);
    if (!posted) {
        say(res, 500, "The request could not be passed on");
        return;
    }
    res.status = 202;
    res.set_content("{\"passed_on\":true}\n", "application/json");
}

void act(const httplib::Request& req, httplib::Response& res, const ViewSettings& v,
         const std::string& action) {
    json body;
    std::string why;
    if (const int status = refusal(req, v, body, why)) return say(res, status, why);
    std::string run, text;
    if (action == "start") {
        std::string socket, serial;
        if (!text_field(body, "socket", kSocketMost, socket, true) ||
            !text_field(body, "serial", kSerialMost, serial, true)) {
            return say(res, 400, "A start names a socket and a serial");
        }
        const json loop = waiting_loop(v);
        if (loop.is_null() || loop.value("running", true)) {
            return say(res, 409, "No loop waits for a serial in this folder");
        }
        return pass_on(res, control_folder_of(v, ".", false), "start",
                       {{"socket", socket}, {"serial", serial}});
    }
    std::string folder;
    if (!text_field(body, "run", 4096, run) || !(run == "." || report_folder(run, folder))) {
        return say(res, 400, "A request names a run the view follows");
    }
    if (action == "abort") {
        return pass_on(res, control_folder_of(v, run, true), "abort", json::object());
    }
    std::string question;
    if (!text_field(body, "question", 16, question) ||
        question.find_first_not_of("0123456789abcdef") != std::string::npos ||
        !text_field(body, "answer", kAnswerMost, text, true)) {
        return say(res, 400, "An answer names its question and holds a text");
    }
    pass_on(res, control_folder_of(v, run, true), "answer",
            {{"question", question}, {"answer", text}});
}

}  // namespace

void add_control_routes(httplib::Server& server, const ViewSettings& v) {
    server.Get("/control/open", [v](const httplib::Request& req, httplib::Response& res) {
        const std::string session =
            v.control ? v.control->open(req.get_param_value("secret")) : std::string();
        if (session.empty()) {
            return say(
                res, 403,
                v.control ? "This link was used already, or is not this view's" : kWatchOnly);
        }
        res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + session +
                                         "; HttpOnly; SameSite=Strict; Path=/");
        res.set_header("Cache-Control", "no-store");
        res.set_redirect("/", 303);
    });
    server.Get("/control/state", [v](const httplib::Request& req, httplib::Response& res) {
        if (!v.control || v.control->token_for(req.get_header_value("Cookie")).empty()) {
            return say(res, 403, "No operator's session");
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(json{{"loop", waiting_loop(v)}}.dump() + "\n", "application/json");
    });
    for (const char* action : {"start", "answer", "abort"}) {
        server.Post(std::string("/control/") + action,
                    [v, action](const httplib::Request& req, httplib::Response& res) {
                        act(req, res, v, action);
                    });
    }
    // Anything else under /control/ changes nothing either.
    const auto refuse = [v](const httplib::Request&, httplib::Response& res) {
        say(res, v.control ? 404 : 403, v.control ? "No such request" : kWatchOnly);
    };
    server.Get(R"(/control/.*)", refuse);
    server.Post(R"(/control/.*)", refuse);
    server.Put(R"(/control/.*)", refuse);
    server.Delete(R"(/control/.*)", refuse);
    server.Patch(R"(/control/.*)", refuse);
}
