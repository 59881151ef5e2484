#include "operator.h"

#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/signal_wake.h"
#include "base/times.h"
#include "base/typed_lines.h"
#include "control_channel.h"
#include "escape.h"
#include "guard.h"
#include "hex.h"
#include "locks.h"
#include "record/events.h"
#include "record/record_facts.h"
#include "sequence/answer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLookMs = 200;  // how often the view's answers are looked for

std::string question_id() {
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        const auto now = Clock::now().time_since_epoch().count();
        for (std::size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(now >> (8 * i));
    }
    return hex_of(bytes, sizeof bytes);
}

// Who asks: the socket and serial on a station of several boards, the
// serial alone.
std::string asker(const RunRecord& r) {
    return (r.socket.empty() ? "" : "socket " + r.socket + ", ") + "serial " + r.serial;
}

void print_question(const RunRecord& r, const Step& step, const std::string& reason) {
    const Prompt& p = *step.prompt;
    if (!reason.empty()) printf("Not taken: %s\n", terminal_safe(reason).c_str());
    printf("Operator (%s), %s: %s [%s]\n", terminal_safe(asker(r)).c_str(),
           terminal_safe(step.name).c_str(), terminal_safe(p.text).c_str(), answer_hint(p).c_str());
    fflush(stdout);
}

// The view's answers to this question; answers to another are dropped.
std::vector<std::string> view_answers(const std::string& folder, const std::string& question) {
    std::vector<std::string> out;
    for (const std::string& body : take_control(folder, "answer")) {
        const nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
        if (!j.is_object() || j.value("question", "") != question || !j.contains("answer") ||
            !j["answer"].is_string()) {
            continue;
        }
        out.push_back(j["answer"].get<std::string>());
    }
    return out;
}

std::vector<Measurement> unanswered(const Step& step, Verdict verdict, const std::string& why) {
    Measurement m = judge("answer", step.prompt->units, {}, step.prompt->limits, why);
    m.verdict = verdict;
    return {m};
}

}  // namespace

Attempt ask_operator(BoardRunState& run, const Step& step, int number,
                     std::optional<double> lock_wait_s) {
    RunRecord& r = run.record;
    Attempt a;
    a.number = number;
    a.asked = true;
    a.lock_wait_s = lock_wait_s;
    a.started = utc_now();
    run.append(step_started_event(step.name, number, a.started, step.timeout_s));
    const auto begun = Clock::now();
    const auto deadline = begun + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(step.timeout_s));
    auto end = [&](Verdict v, const std::string& note) {
        a.ended = utc_now();
        a.duration_s = std::chrono::duration<double>(Clock::now() - begun).count();
        a.verdict = v;
        a.note = note;
        if (a.measurements.empty()) a.measurements = unanswered(step, Verdict::skipped, note);
        return a;
    };
    if (run.settings.terminal_fd < 0 && !view_follows(r.output)) {
        return end(Verdict::error,
                   "no operator: standard input is no terminal, and no view that may answer "
                   "follows the run");
    }
    // One question at a time on a station: the boards take the operator in turn.
    bool turn = false;
    if (run.settings.lock_fd >= 0) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        switch (take_lock(run.settings.lock_fd, kOperatorTurn, std::max(left, 0.001),
                          signal_wake_fd(), &signals_caught)) {
            case LockWait::granted:
                turn = true;
                break;
            case LockWait::stopped:
                return end(Verdict::aborted, "not answered: the run was aborted");
            case LockWait::timed_out:
                a.timed_out = true;
                return end(Verdict::timeout, "no answer within " + number_text(step.timeout_s) +
                                                 " s: the operator was answering another board");
            case LockWait::station_gone:
                return end(Verdict::error, "the station's process is gone");
        }
    }
    const std::string question = question_id();
    take_control(r.output, "answer");  // anything left from before
    // What was typed before the question does not answer it; a line past
    // any answer's bound is refused whole.
    const int terminal = run.settings.terminal_fd;
    if (terminal >= 0 && isatty(terminal)) tcflush(terminal, TCIFLUSH);
    TypedLines typed(terminal, 2 * kAnswerMost);
    std::string reason;
    auto ask = [&] {
        run.append(operator_asked_event(step.name, number, question, *step.prompt, r, reason));
        if (terminal >= 0) print_question(r, step, reason);
    };
    ask();
    bool answered = false;
    while (!answered && run.logged) {
        if (termination_signal != 0) {
            a.note = "not answered: the run was aborted";
            break;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            a.timed_out = true;
            break;
        }
        pollfd fds[2] = {{signal_wake_fd(), POLLIN, 0}, {typed.ended() ? -1 : terminal, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::min<long long>(left, kLookMs)));
        std::vector<std::pair<std::string, std::string>> given;  // text, source
        if (fds[1].revents != 0) typed.read_some();
        while (std::optional<std::string> line = typed.next())
            given.emplace_back(*line, "terminal");
        for (const std::string& text : view_answers(r.output, question)) {
            given.emplace_back(text, "view");
        }
        for (const auto& [text, source] : given) {
            const JudgedAnswer j = judge_answer(*step.prompt, text);
            if (!j.taken) {
                reason = "\"" + text.substr(0, 64) + "\": " + j.reason;
                ask();
                continue;
            }
            a.answer = text;
            a.answered_by = r.operator_name;
            a.answer_source = source;
            a.answered_at = utc_now();
            a.measurements = {j.measurement};
            a.note = j.failed_why;
            answered = true;
            break;
        }
        if (!answered && terminal >= 0 && typed.ended() && !view_follows(r.output)) {
            a.note = "no operator: the terminal closed";
            break;
        }
    }
    if (turn) give_back_lock(run.settings.lock_fd, kOperatorTurn);
    if (answered) {
        Verdict v = Verdict::pass;
        for (const Measurement& m : a.measurements) v = worse(v, m.verdict);
        return end(v, a.note);
    }
    if (a.timed_out) {
        return end(Verdict::timeout, "no answer within " + number_text(step.timeout_s) + " s");
    }
    if (termination_signal != 0) return end(Verdict::aborted, a.note);
    return end(Verdict::error, a.note.empty() ? "the record cannot be written" : a.note);
}

AbortWatch::AbortWatch(std::string folder) : folder_(std::move(folder)) {
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            const bool asked = !take_control(folder_, "abort").empty();
            lock.lock();
            if (asked && !asked_) {
                asked_ = utc_now();
                // As a Ctrl-C: the run ends its step and records the abort.
                take_termination(SIGINT);
            }
            wake_.wait_for(lock, std::chrono::milliseconds(250));
        }
    });
}

AbortWatch::~AbortWatch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::optional<std::string> AbortWatch::asked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
}
