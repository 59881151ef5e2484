// Each program's documented behaviour, written once: the library calls it
// makes, what it prints and its exit status, under a fault rule that fails
// one call (and maybe every later call of its operation) with a status. The
// programs' own tests, the fault sweep and the robustness tests read these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace test_support {

// The size of the capture twin_capture must write, as the tests expect it.
constexpr std::size_t kCaptureBytes = 80'000'000;

class Model {
public:
    // No failure at all.
    Model() = default;
    // The `nth` call of `op` fails with `status`, and with `later` every later one.
    Model(std::string op, std::uint64_t nth, bool later, int status);

    // Records a call that returns a status; gives that status.
    int call(const std::string& op, const std::string& text);
    // Records a call that returns nothing.
    void note(const std::string& text) { trace.push_back(text); }

    std::vector<std::string> trace;
    // Standard output without refswitch_soak's progress lines, whose number
    // depends on the clock.
    std::vector<std::string> out;
    // Standard error without the library's log lines. A failed check's report
    // reads "Error at CHECK (main): Status N" here, its source place left out.
    std::vector<std::string> err;
    int exit_code = 0;

private:
    std::string op_;
    std::uint64_t nth_ = 0;
    bool later_ = false;
    int status_ = 0;
    std::map<std::string, std::uint64_t> counts_;
};

using ProgramModel = std::function<void(Model&)>;

// twin_capture, with no arguments.
void twin_capture_model(Model& m);
// image_reloader -d sim -f image.rbf.
void image_reloader_model(Model& m);
// burst_sender -n COUNT [-s SIZE]: the lengths of the packets it sends, and
// the size given (0 for the rotating lengths).
ProgramModel burst_sender_model(std::vector<unsigned> lengths, unsigned size);
// refswitch_soak -i ITERATIONS, and with `harsh` -r -l image.rbf -p too.
ProgramModel refswitch_soak_model(int iterations, bool harsh);

// The calls of a run in which nothing fails.
std::vector<std::string> clean_trace(const ProgramModel& model);
// The last `n` of them.
std::vector<std::string> clean_trace_tail(const ProgramModel& model, std::size_t n);

// A call that a fault rule can name: its operation and which call of it it is.
struct Call {
    std::string op;
    std::uint64_t nth;
};
// The calls of a trace that a fault rule can name, in order.
std::vector<Call> failable_calls(const std::vector<std::string>& trace);

// Standard output and error as a model states them: refswitch_soak's
// progress lines and the library's log lines taken out, a check's source
// place left out of its report.
std::vector<std::string> modelled_out(const std::string& out);
std::vector<std::string> modelled_err(const std::string& err);

}  // namespace test_support
