// station_view as a process over HTTP: only its routes, bounded, resumable
// from Last-Event-ID, refusing what it cannot do with exit status 2, and
// holding for a shift against hostile clients and a changing folder.
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
#include "view_fixture.h"
#include "wait.h"

namespace {

using nlohmann::json;
using test_support::append;
using test_support::descriptors_of;
using test_support::free_port;
using test_support::has;
using test_support::Process;
using test_support::raw_request;
using test_support::Result;
using test_support::started_run;
using test_support::StationView;
using test_support::TempDir;
using test_support::Watcher;
using test_support::write_file;

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
    EXPECT_TRUE(
        test_support::wait_until([&] { return streaming >= 15; }, std::chrono::seconds(30)));
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
    test_support::wait_until(
        [&] {
            return std::all_of(slow.begin(), slow.end(), [](int fd) {
                pollfd p = {fd, POLLOUT, 0};
                return poll(&p, 1, 0) > 0;
            });
        },
        std::chrono::seconds(20), std::chrono::milliseconds(50));
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

}  // namespace
