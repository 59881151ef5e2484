// station_run with an operator: steps that ask, answered at a terminal; and
// a loop that tests board after board, each serial read as a scanner types it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "board_run_fixture.h"
#include "process.h"

namespace {

using nlohmann::json;
using test_support::BoardRun;
using test_support::parse_file;
using test_support::Process;
using test_support::read_file;
using test_support::Result;
using test_support::Stdin;
using test_support::step_verdicts;
using test_support::wait_until;
using namespace std::chrono_literals;

// Every kind of question an operator is asked.
const char* const kAsking = R"(
[[step]]
name = "connect"
prompt = "Connect the antenna"

[[step]]
name = "led"
prompt = "Is the LED green?"
answer = "yes-no"
expect = "yes"

[[step]]
name = "power-high"
prompt = "Read the meter at full power"
answer = "number"
units = "dBm"
low = 10
high = 20

[[step]]
name = "power"
prompt = "Read the meter"
answer = "number"
units = "dBm"
low = 10
high = 20

[[step]]
name = "label"
prompt = "Type the label's code"
answer = "text"
pattern = "LBL-[0-9]+"
)";

class OperatorRun : public BoardRun {
protected:
    Process asking(std::vector<std::string> args, Stdin from = Stdin::terminal) {
        test_support::Launch l = station(std::move(args));
        l.stdin_from = from;
        return Process(l);
    }
    // Waits for `question` to be asked, then types `answer` and Enter.
    static void answer(Process& p, const std::string& question, const std::string& answer) {
        ASSERT_TRUE(p.wait_for_output(question, 30s)) << question;
        p.type(answer + "\n");
    }
};

// The attempt an operator's step ended with, by step name.
json attempt_of(const json& record, const std::string& step) {
    for (const json& s : record["steps"]) {
        if (s["name"] == step) return s["attempts"].back();
    }
    return json();
}

TEST_F(OperatorRun, EachKindOfQuestionIsAnsweredAtTheTerminalAndJudged) {
    const std::string seq = sequence("ask.toml", kAsking);
    Process p = asking({"-s", "SN-1", "--operator", "ann", "-o", "run", seq});
    answer(p, "connect: Connect the antenna [press Enter]", "");
    answer(p, "led: Is the LED green? [yes or no]", "maybe");
    answer(p, "Not taken: \"maybe\": answer yes or no", "No");
    answer(p, "power-high: Read the meter at full power [a number in dBm, from 10 to 20]", "25");
    answer(p, "power: Read the meter", "about 15");
    answer(p, "Not taken: \"about 15\": \"about 15\" is no number", "15.5");
    answer(p, "label: Type the label's code [a text]", "LBL-0042");
    const Result r = p.wait();
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("answered no where yes passes"), std::string::npos) << r.out;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(step_verdicts(rec),
              (std::vector<std::string>{"connect PASS", "led FAIL", "power-high FAIL", "power PASS",
                                        "label PASS"}));
    const json led = attempt_of(rec, "led");
    EXPECT_EQ(led["answer"], "No");
    EXPECT_EQ(led["answered_by"], "ann");
    EXPECT_EQ(led["answer_source"], "terminal");
    EXPECT_TRUE(led["exit_status"].is_null() && led["signal"].is_null());
    EXPECT_EQ(led["measurements"][0]["value"], 0);
    EXPECT_EQ(attempt_of(rec, "power-high")["measurements"][0]["value"], 25);
    EXPECT_EQ(attempt_of(rec, "power")["measurements"][0]["value"], 15.5);
    EXPECT_EQ(attempt_of(rec, "power")["measurements"][0]["units"], "dBm");
    const json label = attempt_of(rec, "label")["measurements"][0];
    EXPECT_TRUE(label["value"].is_null());
    EXPECT_EQ(label["note"], "LBL-0042");
    EXPECT_EQ(label["verdict"], "PASS");
    // Each refusal was asked again in the record, with its reason.
    EXPECT_NE(
        read_file(dir / "run/record.jsonl").find("\"reason\":\"\\\"maybe\\\": answer yes or no\""),
        std::string::npos);
    const std::string junit = read_file(dir / "run/junit.xml");
    EXPECT_NE(junit.find("led/answer"), std::string::npos) << junit;
    // The page shows the text answered, and no output of a program there was none of.
    const std::string page = read_file(dir / "run/report.html");
    EXPECT_NE(page.find("<td>label</td><td>answer</td><td class=\"n\">LBL-0042</td>"),
              std::string::npos);
    EXPECT_EQ(page.find("label, attempt 1: standard output"), std::string::npos);
}

TEST_F(OperatorRun, ATextThatDoesNotMatchFailsAndNoAnswerInTimeIsATimeout) {
    const std::string seq = sequence("ask.toml", R"(
[[step]]
name = "label"
prompt = "Type the label's code"
answer = "text"
pattern = "LBL-[0-9]+"

[[step]]
name = "wait"
prompt = "Press Enter when the lamp is on"
timeout_s = 1
)");
    Process p = asking({"-o", "run", seq});
    answer(p, "label: Type the label's code", "LBL-x");
    const Result r = p.wait();
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(step_verdicts(rec), (std::vector<std::string>{"label FAIL", "wait TIMEOUT"}));
    EXPECT_EQ(attempt_of(rec, "wait")["note"], "no answer within 1 s");
    EXPECT_TRUE(attempt_of(rec, "wait")["answer"].is_null());
}

TEST_F(OperatorRun, WithoutATerminalOrAViewAnOperatorsStepIsAnErrorAtOnce) {
    const std::string seq = sequence("ask.toml", R"(
[[step]]
name = "connect"
prompt = "Connect the antenna"
timeout_s = 600

[[step]]
name = "after"
run = ["true"]
)");
    Process p = asking({"-o", "run", seq}, Stdin::pipe);
    const Result r = p.wait();
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(step_verdicts(rec), (std::vector<std::string>{"connect ERROR", "after PASS"}));
    EXPECT_EQ(attempt_of(rec, "connect")["note"].get<std::string>().rfind("no operator", 0), 0u);
    EXPECT_LT(rec["steps"][0]["attempts"][0]["duration_s"].get<double>(), 5);
}

TEST_F(OperatorRun, KilledWhileAskingTheResumedRunAsksAgainAndEndsAsAnUninterruptedOne) {
    const std::string seq = sequence("ask.toml", kAsking);
    auto answer_all_from_led = [&](Process& p) {
        answer(p, "led: Is the LED green?", "y");
        answer(p, "power-high: Read the meter", "12");
        answer(p, "power: Read the meter", "15");
        answer(p, "label: Type the label's code", "LBL-1");
    };
    Process whole = asking({"-s", "SN-1", "-o", "whole", seq});
    answer(whole, "connect: Connect the antenna", "");
    answer_all_from_led(whole);
    ASSERT_EQ(whole.wait().exit_code, 0);

    Process killed = asking({"-s", "SN-1", "-o", "cut", seq});
    answer(killed, "connect: Connect the antenna", "");
    ASSERT_TRUE(killed.wait_for_output("led: Is the LED green?", 30s));
    killed.send_signal(SIGKILL);
    EXPECT_EQ(killed.wait().term_signal, SIGKILL);

    Process resumed = asking({"--resume", "cut"});
    answer_all_from_led(resumed);
    const Result r = resumed.wait();
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("connect: Connect the antenna"), std::string::npos) << r.out;
    EXPECT_EQ(step_verdicts(checked_record(dir / "cut")),
              step_verdicts(checked_record(dir / "whole")));
}

TEST_F(OperatorRun, ACtrlCWhileAskingAbortsTheStep) {
    const std::string seq = sequence("ask.toml", kAsking);
    Process p = asking({"-o", "run", seq});
    ASSERT_TRUE(p.wait_for_output("connect: Connect the antenna", 30s));
    p.send_signal(SIGINT, true);
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, SIGINT) << r.out << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(rec["verdict"], "ABORTED");
    EXPECT_EQ(rec["steps"][0]["verdict"], "ABORTED");
}

TEST_F(OperatorRun, AStationsBoardsAskTheTerminalInTurnNamingSocketAndSerial) {
    const std::string seq = sequence("ask.toml",
                                     "[[step]]\nname = \"led\"\nprompt = \"Is the LED green?\"\n"
                                     "answer = \"yes-no\"\nexpect = \"yes\"\n");
    test_support::write_file(dir / "station.toml",
                             "name = \"pair\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
                             "[[socket]]\nname = \"B\"\ndevice = \"sim:B\"\n");
    Process p =
        asking({"--station-file", "station.toml", "-s", "A=SN-1", "-s", "B=SN-2", "-o", "st", seq});
    ASSERT_TRUE(p.wait_for_output("] Operator (socket ", 30s));
    // The board asking first holds the operator: the other waits its turn.
    const bool a_first = p.out_so_far().find(
                             "[A] Operator (socket A, serial SN-1), led: Is the "
                             "LED green? [yes or no]") != std::string::npos;
    const std::string first = a_first ? "A" : "B", second = a_first ? "B" : "A";
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(p.wait_for_output("[" + second + "] Operator", 10ms)) << p.out_so_far();
    p.type("y\n");
    answer(p, "[" + second + "] Operator (socket " + second, "n");
    const Result r = p.wait();
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(step_verdicts(checked_record(dir / "st" / first)),
              std::vector<std::string>{"led PASS"});
    EXPECT_EQ(step_verdicts(checked_record(dir / "st" / second)),
              std::vector<std::string>{"led FAIL"});
}

// A board's step that fails for the serial SN-2 alone.
const char* const kFailsSn2 = R"(
[[step]]
name = "check"
run = ["sh", "-c", "case {output} in */SN-2-*) exit 1;; esac"]
)";

TEST_F(OperatorRun, ALoopTestsEachSerialTypedAndAsksAgainForAnEmptyOrRepeatedOne) {
    const std::string seq = sequence("loop.toml", kFailsSn2);
    const Result given = run_station({"--loop", "-s", "SN-1", seq});
    EXPECT_EQ(given.exit_code, 2);
    EXPECT_NE(given.err.find("--loop reads each serial from its input: -s cannot be given"),
              std::string::npos)
        << given.err;
    Process p = asking({"--loop", "-o", "line", "--operator", "ann", seq}, Stdin::pipe);
    p.type("SN-1\n\nSN-1\nSN-2\nSN-3\n");
    p.end_input();
    const Result r = p.wait();
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;  // the worst board's
    EXPECT_EQ(test_support::lines_starting(r.out, "Not taken: "),
              (std::vector<std::string>{
                  "Not taken: the serial is empty: scan the board's label",
                  "Not taken: SN-1 was just tested in this socket: seat the next board"}));
    EXPECT_NE(r.out.find("SN-2  FAIL  check"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Loop ended: 3 boards, exit status 1"), std::string::npos) << r.out;
    std::vector<std::string> runs;
    for (const auto& e : std::filesystem::directory_iterator(dir / "line")) {
        if (e.path().filename().string()[0] == '.') continue;
        const json rec = checked_record(e.path());
        runs.push_back(rec["serial"].get<std::string>() + " " + rec["verdict"].get<std::string>() +
                       " " + rec["operator_actions"][0]["source"].get<std::string>());
    }
    std::sort(runs.begin(), runs.end());
    EXPECT_EQ(runs, (std::vector<std::string>{"SN-1 PASS terminal", "SN-2 FAIL terminal",
                                              "SN-3 PASS terminal"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "line/.control/loop.json"));
}

TEST_F(OperatorRun, ACtrlCDuringALoopsRunAbortsThatRunAndEndsTheLoop) {
    const std::string seq =
        sequence("loop.toml", "[[step]]\nname = \"soak\"\nrun = [\"sleep\", \"30\"]\n");
    test_support::Launch l = station({"--loop", "-o", "line", seq});
    l.stdin_from = Stdin::pipe;
    l.own_process_group = true;  // as a terminal's job
    Process p(l);
    p.type("SN-1\nSN-2\n");
    ASSERT_TRUE(wait_until(
        [&] {
            std::error_code none;  // until the loop makes it
            for (const auto& e : std::filesystem::directory_iterator(dir / "line", none)) {
                if (read_file(e.path() / "record.jsonl").find("step_started") !=
                    std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        30s));
    p.send_signal(SIGINT, true);
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, SIGINT) << r.out << r.err;
    EXPECT_NE(r.out.find("SN-1  ABORTED  soak"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("SN-2"), std::string::npos) << "the loop ended: " << r.out;
}

TEST_F(OperatorRun, ALoopOfAStationAsksEachSocketsSerialAgainstItsPattern) {
    const std::string seq =
        sequence("loop.toml",
                 "[[step]]\nname = \"check\"\nrun = [\"test\", \"{device}\", \"!=\", \"sim:B\"]\n");
    test_support::write_file(dir / "station.toml", R"(
name = "pair"
serial_pattern = "SN-[0-9]+"
[[socket]]
name = "A"
device = "sim:A"
[[socket]]
name = "B"
device = "sim:B"
)");
    Process p =
        asking({"--loop", "--station-file", "station.toml", "-o", "line", seq}, Stdin::pipe);
    p.type("SN-1\nsn-2\nSN-1\nSN-2\n");
    p.end_input();
    const Result r = p.wait();
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(
        test_support::lines_starting(r.out, "Not taken: "),
        (std::vector<std::string>{"Not taken: sn-2 does not match the serial pattern SN-[0-9]+",
                                  "Not taken: SN-1 is in socket A already"}));
    EXPECT_NE(r.out.find("Serial for A: SN-1\nSerial for B: sn-2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("A  SN-1  PASS\nB  SN-2  FAIL  check"), std::string::npos) << r.out;
}

}  // namespace
