// station_view's parts in process: which runs it follows, records read as
// they grow, where a browser left off, what it lets in, and its page.
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

namespace {

using nlohmann::json;
using test_support::append;
using test_support::folder_fd;
using test_support::Process;
using test_support::Result;
using test_support::started_run;
using test_support::TempDir;
using test_support::write_file;

// The folders of the runs a list follows, in order.
std::vector<std::string> folders(const RunList& list) {
    std::vector<std::string> out;
    for (const FollowedRun& r : list.runs) out.push_back(r.folder);
    return out;
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

// What the viewer lets in: its own address as Host (and localhost on a
// loopback one; any on a wildcard), a few ranges that do not overlap, and a
// Last-Event-ID from an older viewer left out rather than refused.
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

}  // namespace
