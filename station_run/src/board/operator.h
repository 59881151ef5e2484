// An operator's step: its question put at the terminal and to a view that
// may answer, the answer judged as the step's measurement; and the view's
// requests to abort the run, watched while it runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "record/run_record.h"
#include "run_state.h"

// The lock that gives the boards of a station the operator in turn.
constexpr const char* kOperatorTurn = "(operator)";

// Asks the step's question until an answer is taken, its deadline passes,
// the run is aborted, or no operator is there to answer.
Attempt ask_operator(BoardRunState& run, const Step& step, int number,
                     std::optional<double> lock_wait_s);

// Watches the run's control folder for a view's request to abort, and
// aborts the run as a Ctrl-C would.
class AbortWatch {
public:
    explicit AbortWatch(std::string folder);
    ~AbortWatch();
    AbortWatch(const AbortWatch&) = delete;
    AbortWatch& operator=(const AbortWatch&) = delete;
    // When a view asked to abort: the time, in the record's form.
    std::optional<std::string> asked() const;

private:
    std::string folder_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::optional<std::string> asked_;
    std::thread thread_;
};
