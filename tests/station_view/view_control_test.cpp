// station_view --control: only the operator who opened its one-time link can
// act, from a page of this view; every other request is refused with a clear
// status and leaves the runs as they were.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "control_gate.h"
#include "process.h"
#include "view_fixture.h"

namespace {

using nlohmann::json;
using test_support::Process;
using test_support::read_file;
using test_support::StationView;
using test_support::write_file;

const char* const kQuestion = "0123456789abcdef";

class ViewControl : public StationView {
protected:
    void SetUp() override {
        StationView::SetUp();
        // A run that asks its operator a question.
        run_ = dir / "runs/SN-1-20261210T080000Z";
        std::filesystem::create_directories(run_ / ".control");
        write_file(run_ / "record.jsonl",
                   R"({"event":"run_started","serial":"SN-1","started":"2026-12-10T08:00:00.000Z"})"
                   "\n"
                   R"({"event":"operator_asked","step":"led","attempt":1,"question":")" +
                       std::string(kQuestion) + R"(","prompt":"Green?","answer":"yes-no"})" + "\n");
        record_ = read_file(run_ / "record.jsonl");
    }
    // A viewer that may act, and the link it printed.
    std::unique_ptr<Process> serve_control(std::string& link) {
        auto p = std::make_unique<Process>(
            test_support::launch_in(dir.path(), STATION_VIEW_BIN,
                                    {"--control", std::to_string(port_), (dir / "runs").string()}));
        EXPECT_TRUE(p->wait_for_output("/control/open?secret=", std::chrono::seconds(10)));
        std::smatch m;
        const std::string out = p->out_so_far();
        EXPECT_TRUE(std::regex_search(
            out, m, std::regex("http://[^/]+(/control/open\\?secret=[0-9a-f]{64})")));
        link = m[1];
        return p;
    }
    httplib::Result post(const std::string& path, const json& body, httplib::Headers headers,
                         const std::string& type = "application/json") {
        httplib::Client client("127.0.0.1", port_);
        return client.Post(path, headers, body.dump(), type);
    }
    json answer(const std::string& token) const {
        return {{"token", token},
                {"run", run_.filename().string()},
                {"question", kQuestion},
                {"answer", "yes"}};
    }
    // Nothing passed on to the run, and its record as it was.
    void untouched() const {
        EXPECT_TRUE(std::filesystem::is_empty(run_ / ".control"));
        EXPECT_EQ(read_file(run_ / "record.jsonl"), record_);
    }
    std::filesystem::path run_;
    std::string record_;
};

// The session's cookie from a response's Set-Cookie.
std::string cookie_of(const httplib::Result& r) {
    const std::string set = r->get_header_value("Set-Cookie");
    return set.substr(0, set.find(';'));
}

std::string token_in(const std::string& page) {
    std::smatch m;
    return std::regex_search(page, m, std::regex("name=\"control-token\" content=\"([0-9a-f]+)\""))
               ? m[1].str()
               : "";
}

TEST_F(ViewControl, AViewThatOnlyWatchesRefusesEveryChange) {
    auto v = serve(dir / "runs");
    httplib::Client client("127.0.0.1", port_);
    for (const char* path : {"/control/answer", "/control/start", "/control/abort", "/control/x"}) {
        auto r = client.Post(path, answer("").dump(), "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403) << path;
    }
    EXPECT_EQ(client.Get("/control/open?secret=00")->status, 403);
    EXPECT_EQ(token_in(client.Get("/")->body), "");
    untouched();
}

TEST_F(ViewControl, OnlyTheLinksOneSessionFromThisViewsPageMayAct) {
    std::string link;
    auto v = serve_control(link);
    httplib::Client client("127.0.0.1", port_);
    const std::string own = "http://127.0.0.1:" + std::to_string(port_);

    // Without the session: refused, and the page carries no token.
    EXPECT_EQ(post("/control/answer", answer(""), {})->status, 403);
    EXPECT_EQ(token_in(client.Get("/")->body), "");

    auto opened = client.Get(link);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->status, 303);
    const std::string set = opened->get_header_value("Set-Cookie");
    EXPECT_NE(set.find("HttpOnly"), std::string::npos) << set;
    EXPECT_NE(set.find("SameSite=Strict"), std::string::npos) << set;
    const std::string cookie = cookie_of(opened);
    EXPECT_EQ(client.Get(link)->status, 403) << "the link is good once";

    const std::string token = token_in(client.Get("/", {{"Cookie", cookie}})->body);
    ASSERT_EQ(token.size(), 64u);

    // A token of another session (another viewer's), a page of another site,
    // a form posted from one, another name for this viewer, a wrong token:
    // each refused, nothing passed on.
    ControlGate other;
    const std::string others_token =
        other.token_for(std::string(kSessionCookie) + "=" + other.open(other.secret()));
    ASSERT_EQ(others_token.size(), 64u);
    const struct {
        json body;
        httplib::Headers headers;
        std::string type;
        int status;
    } refused[] = {
        {answer(others_token), {{"Cookie", cookie}}, "application/json", 403},
        {answer(std::string(64, 'a')), {{"Cookie", cookie}}, "application/json", 403},
        {answer(token),
         {{"Cookie", cookie}, {"Origin", "http://evil.example"}},
         "application/json",
         403},
        {answer(token),
         {{"Cookie", cookie}, {"Origin", "http://evil.example"}},
         "application/x-www-form-urlencoded",
         403},
        {answer(token), {{"Cookie", cookie}}, "text/plain", 415},
        {answer(token), {{"Cookie", cookie}, {"Host", "rebound.example"}}, "application/json", 421},
        {answer(token),
         {{"Cookie", "station_view_control=" + std::string(64, '0')}},
         "application/json",
         403},
        {answer(token), {}, "application/json", 403},
    };
    for (const auto& r : refused) {
        auto got = post("/control/answer", r.body, r.headers, r.type);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->status, r.status) << got->body;
        EXPECT_FALSE(got->body.empty());
        untouched();
    }
    // No loop waits here: a start is refused; a run the view does not follow is not found.
    EXPECT_EQ(post("/control/start", {{"token", token}, {"socket", ""}, {"serial", "SN-2"}},
                   {{"Cookie", cookie}, {"Origin", own}})
                  ->status,
              409);
    EXPECT_EQ(
        post("/control/abort", {{"token", token}, {"run", "../etc"}}, {{"Cookie", cookie}})->status,
        400);
    EXPECT_EQ(
        post("/control/abort", {{"token", token}, {"run", "SN-404"}}, {{"Cookie", cookie}})->status,
        404);
    // The view's own folder is no run: nothing is dropped where no run looks.
    EXPECT_EQ(
        post("/control/abort", {{"token", token}, {"run", "."}}, {{"Cookie", cookie}})->status,
        404);
    EXPECT_EQ(test_support::files_starting(dir / "runs/.control", "abort-"),
              std::vector<std::string>{});
    untouched();
    // Nor where the run has ended.
    const std::filesystem::path ended = dir / "runs/SN-0-20261210T070000Z";
    std::filesystem::create_directories(ended / ".control");
    write_file(
        ended / "record.jsonl",
        R"({"event":"run_started","serial":"SN-0","started":"2026-12-10T07:00:00.000Z"})"
        "\n"
        R"({"event":"run_ended","verdict":"PASS","exit_status":0,"ended":"2026-12-10T07:01:00.000Z"})"
        "\n");
    EXPECT_EQ(post("/control/abort", {{"token", token}, {"run", ended.filename().string()}},
                   {{"Cookie", cookie}})
                  ->status,
              404);
    EXPECT_TRUE(std::filesystem::is_empty(ended / ".control"));

    // The operator's own page: passed on, once.
    auto ok = post("/control/answer", answer(token), {{"Cookie", cookie}, {"Origin", own}});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 202);
    std::vector<std::string> passed;
    for (const auto& e : std::filesystem::directory_iterator(run_ / ".control")) {
        passed.push_back(read_file(e.path()));
    }
    EXPECT_EQ(passed, std::vector<std::string>{R"({"answer":"yes","question":")" +
                                               std::string(kQuestion) + "\"}"});
    // The view's lease tells a run that it may be answered.
    EXPECT_TRUE(std::filesystem::exists(dir / "runs/.control/view"));
}

TEST(ControlCookie, TheSessionIsFoundAmongOtherCookiesByItsWholeName) {
    EXPECT_EQ(cookie_value("a=1; station_view_control=abc; b=2", "station_view_control"), "abc");
    EXPECT_EQ(cookie_value("xstation_view_control=abc", "station_view_control"), "");
    EXPECT_EQ(cookie_value("station_view_controlx=abc", "station_view_control"), "");
    EXPECT_EQ(cookie_value("", "station_view_control"), "");
}

}  // namespace
