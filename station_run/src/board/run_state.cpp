#include "run_state.h"

#include "base/signal_wake.h"
#include "base/trouble.h"
#include "hold.h"

void BoardRunState::append(const nlohmann::ordered_json& event) {
    if (!logged) return;
    logged = log.append(event, log_error);
    if (!logged) trouble(log_error);
    hold_after(event.value("event", ""));
}

HistoryLimits limits_of(const RunSettings& settings) {
    return {settings.history_timeout_s, signal_wake_fd(), &signals_caught};
}
