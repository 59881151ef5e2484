// station_view: its parts in process (which runs it follows, records read as
// they grow, where a browser left off), then the viewer as a process over
// HTTP (only its routes, bounded, resumable from Last-Event-ID, refusing what
// it cannot do with exit status 2), then its page in headless Chromium while
// a two-board station runs, against lines written and flushed at known
// times, and with a serial that holds markup.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "beneath.h"
#include "connections.h"
#include "cursor.h"
#include "decimal.h"
#include "outputs/report_page.h"
#include "page.h"
#include "process.h"
#include "record_reader.h"
#include "run_index.h"
#include "server.h"
#include "verdict.h"

namespace {

using nlohmann::json;
using test_support::Process;
using test_support::Result;
using test_support::TempDir;
using test_support::write_file;

void append(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::app | std::ios::binary);
    out << text;
}

int folder_fd(const std::filesystem::path& dir) {
    return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The folders of the runs a list follows, in order.
std::vector<std::string> folders(const RunList& list) {
    std::vector<std::string> out;
    for (const FollowedRun& r : list.runs) out.push_back(r.folder);
    return out;
}

void started_run(const std::filesystem::path& folder, const std::string& started,
                 const std::string& serial = "S") {
    std::filesystem::create_directories(folder);
    write_file(folder / "record.jsonl", R"({"event":"run_started","serial":")" + serial +
                                            R"(","started":")" + started + "\"}\n");
}

TEST(ViewRuns, FoldersOfRunsStationsAndOneRunNoLinksTheLatestFirst) {
    TempDir dir;
    started_run(dir / "old", "2026-12-01T08:00:00.000Z");
    started_run(dir / "station/A", "2026-12-09T08:00:00.000Z");
    started_run(dir / "station/B", "2026-12-09T08:00:01.000Z");
    started_run(dir / "new", "2026-12-10T08:00:00.000Z");
    std::filesystem::create_directories(dir / "empty" / "nothing");
    std::filesystem::create_directories(dir / ".hidden");
    write_file(dir / ".hidden" / "record.jsonl", "{}\n");
    std::filesystem::create_directory_symlink(dir / "new", dir / "linked");
    std::filesystem::create_directories(dir / "torn");
    write_file(dir / "torn" / "record.jsonl", R"({"event":"run_started")");
    mkfifo((dir / "empty" / "record.jsonl").c_str(), 0600);  // would hold a reader
    RunIndex all(dir.path(), folder_fd(dir.path()), 10, std::chrono::milliseconds(0));
    EXPECT_EQ(folders(*all.runs()),
              (std::vector<std::string>{"new", "old", "station/A", "station/B"}));
    RunIndex latest(dir.path(), folder_fd(dir.path()), 2, std::chrono::milliseconds(0));
    EXPECT_EQ(folders(*latest.runs()), (std::vector<std::string>{"new", "station/B"}))
        << "the latest to start";
    append(dir / "torn" / "record.jsonl", R"(,"started":"2026-12-11T00:00:00.000Z"})"
                                          "\n");
    EXPECT_EQ(folders(*latest.runs()), (std::vector<std::string>{"new", "torn"}))
        << "a first line taken once whole";
    RunIndex one(dir / "new", folder_fd(dir / "new"), 10, std::chrono::milliseconds(0));
    EXPECT_EQ(folders(*one.runs()), std::vector<std::string>{"."}) << "a run folder itself";
    const int fd = folder_fd(dir.path());
    EXPECT_LT(open_beneath(fd, "linked/record.jsonl", O_RDONLY), 0) << "no link followed";
    EXPECT_LT(open_beneath(fd, "new/../old/record.jsonl", O_RDONLY), 0);
    EXPECT_LT(open_beneath(fd, "/etc/passwd", O_RDONLY), 0);
    close(fd);
}

// A run folder used again, and the folder itself replaced or gone: the list
// says so, each record by a key of its own.
TEST(ViewRuns, AFolderUsedAgainIsAnotherRecordAndAFolderReplacedIsOpenedAnew) {
    TempDir dir;
    const std::filesystem::path runs = dir / "runs";
    started_run(runs / "A", "2026-12-09T08:00:00.000Z", "OLD");
    RunIndex index(runs, folder_fd(runs), 32, std::chrono::milliseconds(0));
    const std::shared_ptr<const RunList> first = index.runs();
    ASSERT_EQ(folders(*first), std::vector<std::string>{"A"});
    std::filesystem::remove_all(runs / "A");
    started_run(runs / "A", "2026-12-09T09:00:00.000Z", "NEW");
    const std::shared_ptr<const RunList> again = index.runs();
    ASSERT_EQ(folders(*again), std::vector<std::string>{"A"});
    EXPECT_NE(again->runs[0].key, first->runs[0].key);
    EXPECT_GT(again->generation, first->generation);
    EXPECT_EQ(again->runs[0].key,
              record_key("A", R"({"event":"run_started","serial":"NEW","started":")"
                              "2026-12-09T09:00:00.000Z\"}"));
    std::filesystem::rename(runs, dir / "runs.old");
    const std::shared_ptr<const RunList> gone = index.runs();
    EXPECT_EQ(folders(*gone), std::vector<std::string>{"A"}) << "what was followed stays";
    EXPECT_NE(gone->note.find("no new run shows until it is back"), std::string::npos)
        << gone->note;
    started_run(runs / "B", "2026-12-09T10:00:00.000Z");
    const std::shared_ptr<const RunList> back = index.runs();
    EXPECT_EQ(folders(*back), std::vector<std::string>{"B"}) << "the new folder's runs";
    EXPECT_EQ(back->note, "");
}

TEST(ViewRuns, ARecordReadAsItGrowsWholeLinesOnlyEachOnceAndOneTooLongCut) {
    TempDir dir;
    std::filesystem::create_directories(dir / "r");
    const std::filesystem::path record = dir / "r" / "record.jsonl";
    const int fd = folder_fd(dir.path());
    append(record, "{\"n\":1}\n{\"n\":2}\n{\"n\"");
    auto file = std::make_shared<RecordFile>(fd, "r");
    RecordReader tail(file, 0);
    EXPECT_EQ(tail.next_lines(1 << 20), (std::vector<std::string>{"{\"n\":1}", "{\"n\":2}"}));
    EXPECT_TRUE(tail.next_lines(1 << 20).empty()) << "a torn last line waits";
    append(record, ":3}\n");
    EXPECT_EQ(tail.next_lines(1 << 20), std::vector<std::string>{"{\"n\":3}"});
    EXPECT_EQ(tail.lines(), 3u);
    RecordReader resumed(file, 2);
    EXPECT_EQ(resumed.next_lines(1 << 20), std::vector<std::string>{"{\"n\":3}"})
        << "from where a browser left off";
    RecordReader beyond(file, 9);
    EXPECT_TRUE(beyond.next_lines(1 << 20).empty());
    // A line of 3 MB neither stops the record nor is read again: it comes
    // cut, its head and length, and the next line follows.
    append(record, std::string(3'000'000, 'x') + "\n{\"n\":5}\n");
    std::vector<std::string> got;
    for (int i = 0; i < 10 && got.size() < 2; ++i) {
        for (std::string& line : tail.next_lines(1 << 20)) got.push_back(std::move(line));
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rfind("[a line of 3000000 bytes, cut; its first 4096 follow] xxx", 0), 0u);
    EXPECT_LT(got[0].size(), 5000u);
    EXPECT_EQ(got[1], "{\"n\":5}");
    EXPECT_EQ(tail.lines(), 5u);
    std::filesystem::create_directories(dir / "f");
    mkfifo((dir / "f" / "record.jsonl").c_str(), 0600);
    EXPECT_EQ(RecordFile(fd, "f").fd(), -1) << "a FIFO is no record, and is not waited for";
    close(fd);
}

TEST(ViewEvents, TheCursorNamesTheRunsFollowedByKeyAndAnyFolderResumes) {
    const std::string a = record_key("runs;x%y:z", "{}"), b = record_key("B", "{}");
    EXPECT_EQ(a.size(), 16u);
    EXPECT_NE(a, record_key("runs;x%y:z", "{\"other\":1}")) << "another record in the folder";
    EXPECT_NE(a, b);
    const Cursor c = {{a, 12}, {b, 3}, {record_key("none", ""), 0}};
    const std::string id = cursor_text(c);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef:;"), std::string::npos) << id;
    Cursor back = c;
    back.erase(record_key("none", ""));
    EXPECT_EQ(cursor_from(id), back);
    EXPECT_EQ(cursor_from(""), Cursor{});
    EXPECT_EQ(cursor_from(a + ":1;B:2;" + b + ";" + b + ":x;zz:3;" + b + ":-1;" + b +
                          ":99999999999999999999999"),
              (Cursor{{a, 1}}))
        << "parts that do not read are left out";
    EXPECT_EQ(cursor_from("A:1;" + std::string(50000, 'x')), Cursor{})
        << "an id from an older viewer starts over";
    EXPECT_EQ(event_data("A", 3, R"({"event":"x"})"),
              R"({"run":"A","line":3,"record":{"event":"x"}})");
    EXPECT_EQ(event_data("A", 4, "not json"), R"({"run":"A","line":4,"text":"not json"})");
    EXPECT_EQ(event_data("A", 5, "{\"a\":\r1}"), R"({"run":"A","line":5,"text":"{\"a\":\r1}"})")
        << "a carriage return would end the event's line";
    EXPECT_EQ(event_data("A", 6, "[1]"), R"({"run":"A","line":6,"text":"[1]"})");
    std::string folder;
    EXPECT_TRUE(report_folder("station/A", folder));
    for (const char* bad : {"", ".", "..", "a/../b", "a//b", "a/./b", "/a", "a/b/c/d"}) {
        EXPECT_FALSE(report_folder(bad, folder)) << bad;
    }
}

// What the viewer lets in: its own address as Host (and localhost on a
// loopback one; any on a wildcard), a few ranges that do not overlap, and a
// Last-Event-ID from an older viewer left out rather than refused.
// The view's colours for each verdict are the run's page's: one table.
TEST(ViewPage, VerdictColoursAreThePagesFromOneTable) {
    RunRecord run;
    run.serial = "SN";
    run.verdict = Verdict::pass;
    const std::string page = report_page(run);
    for (const VerdictFacts& f : kVerdicts) {
        SCOPED_TRACE(f.name);
        const std::string badge = ".v-" + std::string(f.name) + " { background: " + f.colour + " }";
        EXPECT_NE(page.find(badge), std::string::npos);
        EXPECT_NE(view_page().find(badge), std::string::npos);
        EXPECT_NE(view_page().find("tr.v-" + std::string(f.name) +
                                   " td.verdict { color: " + f.colour + " }"),
                  std::string::npos);
    }
}

TEST(ViewRequests, HostRangesAndAnOldIdAreCheckedBeforeAnyRoute) {
    EXPECT_EQ(hosts_for("127.0.0.1", 8080),
              (std::vector<std::string>{"127.0.0.1:8080", "localhost:8080"}));
    EXPECT_EQ(hosts_for("::1", 80),
              (std::vector<std::string>{"[::1]:80", "[::1]", "localhost:80", "localhost"}));
    EXPECT_EQ(hosts_for("192.168.4.7", 8080), std::vector<std::string>{"192.168.4.7:8080"});
    EXPECT_TRUE(hosts_for("0.0.0.0", 8080).empty()) << "a wildcard answers any name";
    for (const char* fine :
         {"bytes=0-99", "bytes=-500", "bytes=100-", " bytes=0-9, 20-29,40-49", "items=1-2,1-2"}) {
        EXPECT_TRUE(ranges_acceptable(fine)) << fine;
    }
    for (const char* many : {"bytes=0-99,50-60", "bytes=0-9,10-", "bytes=0-1,2-3,4-5,6-7,8-9",
                             "bytes=-5,-5", "bytes=0-9,x-y"}) {
        EXPECT_FALSE(ranges_acceptable(many)) << many;
    }
    const std::string body = "x=1";
    const std::string request =
        "GET /events HTTP/1.1\r\nHost: h\r\nLast-Event-ID: " + std::string(9000, 'a') +
        "\r\nAccept: text/event-stream\r\n\r\n";
    EXPECT_EQ(header_for_library(request + body),
              "GET /events HTTP/1.1\r\nHost: h\r\nAccept: text/event-stream\r\n\r\n" + body);
    const std::string short_id = "GET / HTTP/1.1\r\nlast-event-id: 0123:4\r\n\r\n";
    EXPECT_EQ(header_for_library(short_id), short_id);
    EXPECT_EQ(header_for_library("GET /r HTTP/1.1\r\nRange: bytes=0-9,5-7\r\nHost: h\r\n\r\n"),
              "GET /r HTTP/1.1\r\nHost: h\r\n\r\n")
        << "overlapping spans: the page comes whole";
    const std::string one_range = "GET /r HTTP/1.1\r\nRange: bytes=0-9\r\n\r\n";
    EXPECT_EQ(header_for_library(one_range), one_range);
}

// A port no one listens on.
int free_port() {
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
std::optional<json> parsed_event(const std::string& block) {
    const std::size_t data_at = block.find("data: ");
    if (data_at == std::string::npos) return {};
    json data = json::parse(block.substr(data_at + 6));
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
                        if (const std::optional<json> e = parsed_event(block))
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
    bool wait_until(const std::function<bool(const std::vector<json>&)>& done,
                    std::chrono::seconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(mutex_);
                if (done(events_)) return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
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
    std::vector<json> events_;
    std::string id_;
    std::size_t longest_id_ = 0;
};

// Whether `events` holds one for `run` whose record has `key` = `value`.
bool has(const std::vector<json>& events, const std::string& run, const std::string& key,
         const json& value) {
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
    std::vector<json> events(std::size_t count, const std::string& last_id = "",
                             std::string* id = nullptr) const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(5, 0);
        httplib::Headers headers;
        if (!last_id.empty()) headers.emplace("Last-Event-ID", last_id);
        std::vector<json> out;
        std::string text;
        client.Get("/events", headers, [&](const char* data, std::size_t n) {
            text.append(data, n);
            for (std::size_t end;
                 out.size() < count && (end = text.find("\n\n")) != std::string::npos;) {
                const std::string block = text.substr(0, end);
                text.erase(0, end + 2);
                if (block.find("event: clock") != std::string::npos) continue;
                const std::optional<json> event = parsed_event(block);
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

TEST_F(StationView, AFolderItCannotReadOrAPortInUseIsExitStatusTwo) {
    Result r = test_support::run(viewer(dir / "missing"));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("missing: No such file or directory"), std::string::npos) << r.err;
    std::filesystem::create_directories(dir / "runs");
    const auto first = serve(dir / "runs");
    r = test_support::run(viewer(dir / "runs"));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("cannot listen on 127.0.0.1:" + std::to_string(port_) +
                         ": Address already in use"),
              std::string::npos)
        << r.err;
    for (const char* bad : {"0", "70000", "port", "[]:80", ":80"}) {
        r = test_support::run(
            test_support::launch_in(dir.path(), STATION_VIEW_BIN, {bad, (dir / "runs").string()}));
        EXPECT_EQ(r.exit_code, 2) << bad;
        EXPECT_NE(r.err.find("Usage:"), std::string::npos) << bad;
    }
    first->send_signal(SIGTERM);
    EXPECT_EQ(first->wait().term_signal, SIGTERM) << "it ends by the signal that stops it";
}

TEST_F(StationView, EveryLineOnceFromWhereTheBrowserLeftOffAcrossARestart) {
    record("A", 1, 3);
    record("B", 1, 2);
    auto v = serve(dir / "runs");
    std::string id;
    std::vector<json> got = events(5, "", &id);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(id, id_of({{"A", 3}, {"B", 2}}));
    EXPECT_EQ(got[0]["run"], "A");
    EXPECT_EQ(got[0]["record"]["serial"], "S");
    v->send_signal(SIGKILL);
    v->wait();
    record("A", 4, 5);
    append(dir / "runs" / "B" / "record.jsonl", R"({"event":"note","n":3)");  // torn
    record("C", 1, 1);
    v = serve(dir / "runs");
    got = events(3, id, &id);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]["run"], "A");
    EXPECT_EQ(got[0]["line"], 4);
    EXPECT_EQ(got[1]["line"], 5);
    EXPECT_EQ(got[2]["run"], "C") << "a run it had not seen, from its first line";
    EXPECT_EQ(id, id_of({{"A", 5}, {"B", 2}, {"C", 1}}));
    append(dir / "runs" / "B" / "record.jsonl", "}\n");
    got = events(1, id);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]["run"], "B");
    EXPECT_EQ(got[0]["record"]["n"], 3) << "the torn line once it is whole";
}

TEST_F(StationView, OnlyItsRoutesNoPathOutsideBoundedAndASilentClientHoldsNoOneUp) {
    record("A", 1, 2);
    write_file(dir / "runs" / "A" / "report.html", "<!DOCTYPE html><p>A</p>");
    std::filesystem::create_directories(dir / "secret");
    write_file(dir / "secret" / "report.html", "secret");
    std::filesystem::create_directory_symlink(dir / "secret", dir / "runs" / "linked");
    auto v = serve(dir / "runs");
    httplib::Client client("127.0.0.1", port_);
    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'sha256-"),
              std::string::npos);
    EXPECT_EQ(page->body.find("http"), std::string::npos) << "nothing from elsewhere";
    auto report = client.Get("/runs/A/report.html");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->status, 200);
    EXPECT_EQ(report->body, "<!DOCTYPE html><p>A</p>");
    for (const char* path : {"/runs/linked/report.html", "/runs/../secret/report.html",
                             "/runs/%2E%2E/secret/report.html", "/runs/A/record.jsonl", "/runs/A/",
                             "/secret/report.html", "/etc/passwd", "/events/x",
                             "/runs//report.html", "/runs/A/report.html/x"}) {
        auto r = client.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 404) << path;
        EXPECT_EQ(r->body.find("secret"), std::string::npos) << path;
    }
    auto posted = client.Post("/", "x", "text/plain");
    ASSERT_TRUE(posted);
    EXPECT_NE(posted->status, 200);
    httplib::Headers huge = {{"X-Huge", std::string(20000, 'x')}};
    auto refused = client.Get("/", huge);
    EXPECT_TRUE(!refused || refused->status >= 400) << "a header past its bound";

    // A client that asks for the stream and reads nothing, and then as many
    // streams as are allowed: the page is still served, the next stream refused.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const int small = 4096;
    setsockopt(silent, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string ask =
        "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n";
    ASSERT_EQ(write(silent, ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));
    for (int i = 0; i < 2000; ++i) record("A", 3 + i, 3 + i);  // more than it can hold
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(events(3).size(), 3u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    std::atomic<int> streaming{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 15; ++i) {
        readers.emplace_back([&] {
            // A stream closed a moment ago may still hold its place: ask again
            // until one is granted, and count only a granted one.
            for (bool granted = false; !granted && !done;) {
                httplib::Client reader("127.0.0.1", port_);
                bool counted = false;
                reader.Get(
                    "/events",
                    [&](const httplib::Response& res) {
                        granted = res.status == 200;
                        return granted;
                    },
                    [&](const char*, std::size_t) {
                        if (!counted) ++streaming;
                        counted = true;
                        return !done;
                    });
                if (!granted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (streaming < 15 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(streaming, 15);
    // Sixteen streams at once: the next is told to ask again in a while, and
    // why, rather than refused for good.
    auto busy = httplib::Client("127.0.0.1", port_).Get("/events");
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->status, 200);
    EXPECT_EQ(busy->body, "retry: 5000\nevent: busy\ndata: {\"streams\":16}\n\n");
    auto still = httplib::Client("127.0.0.1", port_).Get("/");
    EXPECT_TRUE(still && still->status == 200);
    done = true;
    close(silent);
    v->send_signal(SIGKILL);
    for (std::thread& t : readers) t.join();
}

// A request as a browser on `from` (a loopback address) sends it; the whole
// answer, or what came before `timeout`.
std::string raw_request(const std::string& from, int port, const std::string& request,
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

std::size_t descriptors_of(pid_t pid) {
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}

// A page left open over a shift of a thousand runs: its id names only the
// runs followed now, the viewer holds a descriptor for those only, and a
// viewer started again takes the page up where it was; an id from an older
// viewer, past any header bound, starts the stream over.
TEST_F(StationView, APageOpenOverAThousandRunsStaysBoundedAndResumesAcrossARestart) {
    std::filesystem::create_directories(dir / "runs");
    auto v = serve(dir / "runs");
    std::string last;
    {
        Watcher page(port_, "");
        char name[16], started[40];
        for (int i = 0; i < 1000; ++i) {
            std::snprintf(name, sizeof name, "r%04d", i);
            std::snprintf(started, sizeof started, "2026-12-09T%02d:%02d:%02d.000Z", i / 3600,
                          i / 60 % 60, i % 60);
            std::filesystem::create_directories(dir / "runs" / name);
            write_file(dir / "runs" / name / "record.jsonl",
                       std::string(R"({"event":"run_started","serial":"S","started":")") + started +
                           "\"}\n{\"event\":\"note\",\"n\":2}\n");
        }
        EXPECT_TRUE(page.wait_until([](const std::vector<json>& e) {
            return std::any_of(e.begin(), e.end(), [](const json& x) {
                return x.value("run", "") == "r0999" && x.value("line", 0) == 2;
            });
        })) << "the last run's lines";
        EXPECT_LE(page.longest_id(), 32u * 40) << "the id names the runs followed now";
        EXPECT_LE(descriptors_of(v->pid()), 64u) << "a descriptor for the runs followed only";
        last = page.id();
    }
    v->send_signal(SIGKILL);
    v->wait();
    v = serve(dir / "runs");
    record("r1000", 1, 2);  // the latest of all: the oldest followed leaves
    std::vector<json> got = events(2, last);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]["run"], "r1000") << "nothing the page had is sent again";
    EXPECT_EQ(got[1]["line"], 2);
    std::string old_id;
    for (int i = 0; i < 3000; ++i) old_id += "runs%2Fold-" + std::to_string(i) + ":2;";
    got = events(1, old_id);
    ASSERT_EQ(got.size(), 1u) << "an id past the header bound starts over, never refused";
    EXPECT_EQ(got[0]["line"], 1);
}

// Three hundred connections that send a byte now and then from one address:
// the operator's page from another address is served at once.
TEST_F(StationView, SlowConnectionsFromOneAddressHoldNoneFromAnother) {
    record("A", 1, 2);
    auto v = serve(dir / "runs");
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // goes on meanwhile
        slow.push_back(fd);
    }
    // Each begins a request once connected, then adds a byte now and then.
    std::atomic<bool> done{false};
    std::thread drip([&] {
        const std::string start = "GET / HTTP/1.1\r\n" + host + "X-Slow: ";
        std::vector<bool> begun(slow.size());
        while (!done) {
            for (std::size_t i = 0; i < slow.size(); ++i) {
                if (!begun[i]) {
                    begun[i] = send(slow[i], start.data(), start.size(), MSG_NOSIGNAL) > 0;
                } else {
                    send(slow[i], "x", 1, MSG_NOSIGNAL);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    // Every one connected and begun before the operator asks.
    const auto connected_by = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int fd : slow) {
        pollfd p = {fd, POLLOUT, 0};
        while (poll(&p, 1, 100) == 0 && std::chrono::steady_clock::now() < connected_by) {
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const auto asked = std::chrono::steady_clock::now();
    const std::string page =
        raw_request("127.0.0.2", port_, "GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    const auto took = std::chrono::steady_clock::now() - asked;
    done = true;
    drip.join();
    for (int fd : slow) close(fd);
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page.substr(0, 200);
    EXPECT_LT(took, std::chrono::seconds(3));
}

// A FIFO named like a record or a run's page (any step can make one) holds
// no thread of the viewer, and SIGTERM still stops it.
TEST_F(StationView, AFifoNamedLikeARecordOrAPageHoldsNothing) {
    std::filesystem::create_directories(dir / "runs" / "A");
    mkfifo((dir / "runs" / "A" / "record.jsonl").c_str(), 0600);
    record("B", 1, 2);
    mkfifo((dir / "runs" / "B" / "report.html").c_str(), 0600);
    auto v = serve(dir / "runs");
    const std::vector<json> got = events(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]["run"], "B");
    auto report = httplib::Client("127.0.0.1", port_).Get("/runs/B/report.html");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->status, 404);
    const auto stopped = std::chrono::steady_clock::now();
    v->send_signal(SIGTERM);
    EXPECT_EQ(v->wait().term_signal, SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
}

// Requests for another name (a page elsewhere that rebound its own name to
// this address) are refused before any route; many overlapping ranges get
// the page whole, once.
TEST_F(StationView, AnotherNameIsRefusedAndManyRangesGetThePageWhole) {
    record("A", 1, 2);
    write_file(dir / "runs" / "A" / "report.html", std::string(4000, 'p'));
    auto v = serve(dir / "runs");
    httplib::Client client("127.0.0.1", port_);
    std::string many = "bytes=";
    for (int i = 0; i < 300; ++i) many += std::string(i ? "," : "") + "0-3999";
    auto ranged = client.Get("/runs/A/report.html", {{"Range", many}});
    ASSERT_TRUE(ranged);
    EXPECT_EQ(ranged->status, 200) << "the page whole, once";
    EXPECT_EQ(ranged->body.size(), 4000u);
    auto one = client.Get("/runs/A/report.html", {{"Range", "bytes=0-4"}});
    ASSERT_TRUE(one);
    EXPECT_EQ(one->status, 206);
    EXPECT_EQ(one->body, "ppppp");
    const std::string port = std::to_string(port_);
    for (const char* path : {"/", "/events", "/runs/A/report.html"}) {
        auto foreign = client.Get(path, {{"Host", "rebound.example:" + port}});
        ASSERT_TRUE(foreign) << path;
        EXPECT_EQ(foreign->status, 421) << path;
        EXPECT_EQ(foreign->body.find("ppp"), std::string::npos);
    }
    auto local = client.Get("/", {{"Host", "localhost:" + port}});
    ASSERT_TRUE(local);
    EXPECT_EQ(local->status, 200) << "localhost is a loopback viewer's own name";
    // Bound to every address, it answers any name, as documented.
    const int wide_port = free_port();
    Process wide(
        test_support::launch_in(dir.path(), STATION_VIEW_BIN,
                                {"0.0.0.0:" + std::to_string(wide_port), (dir / "runs").string()}));
    ASSERT_TRUE(wide.wait_for_output("Serving the runs", std::chrono::seconds(10)));
    auto any = httplib::Client("127.0.0.1", wide_port).Get("/", {{"Host", "station-7.lan"}});
    ASSERT_TRUE(any);
    EXPECT_EQ(any->status, 200);
    wide.send_signal(SIGTERM);
}

// A run folder emptied and used again by another run while a page follows
// it: the page is told the old record is gone and gets the new one from its
// first line.
TEST_F(StationView, ARunFolderUsedAgainIsSentFromItsFirstLine) {
    record("A", 1, 3);
    auto v = serve(dir / "runs");
    Watcher page(port_, "");
    ASSERT_TRUE(page.wait_until([](const std::vector<json>& e) { return has(e, "A", "n", 3); }));
    std::filesystem::remove_all(dir / "runs" / "A");
    started_run(dir / "runs" / "A", "2026-12-09T09:00:00.000Z", "NEW");
    EXPECT_TRUE(page.wait_until([](const std::vector<json>& e) {
        const auto gone = std::find_if(e.begin(), e.end(), [](const json& x) {
            return x.value("_event", "") == "gone" && x.value("run", "") == "A";
        });
        return gone != e.end() && std::any_of(gone, e.end(), [](const json& x) {
                   return x.value("run", "") == "A" && x.value("line", 0) == 1 &&
                          x["record"].value("serial", "") == "NEW";
               });
    })) << "gone, then the new record from line 1";
}

// The folder renamed away while a page follows it: the page is told, keeps
// what it shows, and takes up the folder made anew under that name.
TEST_F(StationView, AFolderGoneIsSaidAndOneMadeAnewIsFollowed) {
    record("A", 1, 1);
    auto v = serve(dir / "runs");
    Watcher page(port_, "");
    ASSERT_TRUE(
        page.wait_until([](const std::vector<json>& e) { return has(e, "A", "serial", "S"); }));
    std::filesystem::rename(dir / "runs", dir / "runs.old");
    EXPECT_TRUE(page.wait_until([](const std::vector<json>& e) {
        return std::any_of(e.begin(), e.end(), [](const json& x) {
            return x.value("_event", "") == "folder" &&
                   x.value("note", "").find("no new run shows until it is back") !=
                       std::string::npos;
        });
    }));
    started_run(dir / "runs" / "B", "2026-12-09T10:00:00.000Z", "SN-B");
    EXPECT_TRUE(page.wait_until([](const std::vector<json>& e) {
        return has(e, "B", "serial", "SN-B") && std::any_of(e.begin(), e.end(), [](const json& x) {
                   return x.value("_event", "") == "folder" && x.value("note", "x").empty();
               });
    }));
}

// The browser's part: skipped where Chromium or its driver is missing.
class StationViewInBrowser : public StationView {
protected:
    void SetUp() override {
        StationView::SetUp();
        if (std::string(CHROMEDRIVER_BIN).empty() || std::string(CHROMIUM_BIN).empty()) {
            GTEST_SKIP() << "Chromium and its driver are not installed";
        }
    }
    Result check(const std::string& mode, std::vector<std::string> args) const {
        std::vector<std::string> all = {SOURCE_DIR "/tests/data/check_view.py",
                                        mode,
                                        CHROMEDRIVER_BIN,
                                        CHROMIUM_BIN,
                                        STATION_VIEW_BIN,
                                        std::to_string(port_)};
        all.insert(all.end(), args.begin(), args.end());
        return test_support::run(test_support::launch_in(dir.path(), PYTHON3_BIN, all));
    }
};

// Two boards on the board acceptance sequence, board B's receiver noisy: the
// page follows them, loses its viewer mid-run and ends with every line of
// both records in order, each step's verdict the record's.
TEST_F(StationViewInBrowser, FollowsATwoBoardStationThroughARestartOfTheViewer) {
    write_file(dir / "station.toml",
               "name = \"bench\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
               "[[socket]]\nname = \"B\"\ndevice = \"sim:B\"\n"
               "env = { ORLIX_SIM_SIGNAL = \"noise=100\" }\n");
    std::filesystem::create_directories(dir / "runs");
    Process station(test_support::launch_in(
        dir.path(), STATION_RUN_BIN,
        {"--station-file", "station.toml", "-s", "A=SN-1", "-s", "B=SN-2", "-o", "runs/line"}));
    const Result r =
        check("run", {(dir / "runs").string(), (dir / "view.png").string(), "line/A,line/B"});
    const Result s = station.wait();
    EXPECT_EQ(s.exit_code, 1) << s.out << s.err;
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const json result = json::parse(r.out);
    std::cout << "  " << r.out;
    EXPECT_GT(result["events_before_kill"].get<int>(), 0);
    EXPECT_GT(result["events_after_restart"].get<int>(), 0);
    EXPECT_EQ(result["runs"]["line/B"]["verdicts_shown"]["run"], "FAIL");
    // Why board B's checks failed, as its record says it.
    const json b_record =
        json::parse(test_support::read_file(dir / "runs" / "line" / "B" / "record.json"));
    EXPECT_EQ(
        result["runs"]["line/B"]["why_shown"]["capture-checks"],
        b_record["steps"][5]["attempts"][0]["measurements"][1]["name"].get<std::string>() + " = " +
            decimal_text(
                b_record["steps"][5]["attempts"][0]["measurements"][1]["value"].get<double>()) +
            " dB, low 30, high none");
    EXPECT_EQ(result["runs"]["line/A"]["why_shown"]["image-reload"], "no image given (-i)");
    // One board waited for the signal generator while the other captured.
    EXPECT_EQ(result["waits_shown"], json::array({"capture: waiting for rf-source, N s"}));
    std::filesystem::copy_file(dir / "view.png", BINARY_DIR "/station_view.png",
                               std::filesystem::copy_options::overwrite_existing);
}

// Every line written and flushed reaches the page, promptly even on a loaded
// machine; the target, 100 ms at the 95th percentile, is the benchmark's.
TEST_F(StationViewInBrowser, EveryRecordLineReachesThePagePromptly) {
    std::filesystem::create_directories(dir / "runs");
    const Result r = check("latency", {(dir / "runs").string(), "100", "2000"});
    std::cout << "  " << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

// A run folder emptied and used again while the page is open: its card is
// the new run's alone, never the old serial beside the new verdict.
TEST_F(StationViewInBrowser, ARunFolderUsedAgainStartsItsCardAnew) {
    std::filesystem::create_directories(dir / "runs");
    const Result r = check("reuse", {(dir / "runs").string()});
    std::cout << "  " << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

// A measurement's value reads in the view as the record's other readers
// write it.
TEST_F(StationViewInBrowser, NumbersReadAsTheConsoleAndThePagesWriteThem) {
    std::filesystem::create_directories(dir / "runs");
    const double values[] = {0,
                             -0.0,
                             0.1,
                             1.0 / 3,
                             123456789.123,
                             1e10,
                             12345678901.0,
                             1e-5,
                             0.0001234,
                             -2.5e-7,
                             48.27742747528602,
                             20,
                             1e21,
                             -77.42433100317534,
                             9.99999999995e9};
    json list = json::array();
    std::vector<std::string> expected;
    for (double v : values) {
        list.push_back(v);
        expected.push_back(decimal_text(v));
    }
    const Result r = check("numbers", {(dir / "runs").string(), list.dump()});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(json::parse(r.out).get<std::vector<std::string>>(), expected);
}

TEST_F(StationViewInBrowser, MarkupInASerialOrANoteIsTextAndRunsNothing) {
    const std::string serial = "<img src=x onerror=\"window.__pwned=1\"><b>SN</b>";
    write_file(dir / "markup.toml", R"(name = "markup"
version = "1"
[[step]]
name = "noise"
run = ["sh", "-c", "echo 'value: <script>window.__pwned=1</script>'"]
  [[step.measure]]
  name = "value"
  stdout = 'value: (.*)'
)");
    std::filesystem::create_directories(dir / "runs");
    const Result run = test_support::run(test_support::launch_in(
        dir.path(), STATION_RUN_BIN, {"-s", serial, "-o", "runs/markup", "markup.toml"}));
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    const Result r = check("hostile", {(dir / "runs").string(), serial});
    std::cout << "  " << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace
