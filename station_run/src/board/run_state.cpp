#include "run_state.h"

#include "hold.h"
#include "signal_wake.h"
#include "trouble.h"

void BoardRunState::append(const nlohmann::ordered_json& event) {
    if (!logged) return;
    logged = log.append(event, log_error);
    if (!logged) trouble(log_error);
    hold_after(event.value("event", ""));
}

HistoryLimits limits_of(const RunSettings& settings) {
    return {settings.history_timeout_s, signal_wake_fd(), &signals_caught};
}
