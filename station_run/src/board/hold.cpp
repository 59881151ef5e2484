#include "hold.h"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "guard.h"

namespace {

struct HoldRule {
    std::string event;
    long nth = 1;
};

std::optional<HoldRule> hold_rule() {
    const char* text = std::getenv("ORLIX_STATION_HOLD");
    if (text == nullptr) return {};
    const std::string r = text;
    const std::size_t at = r.find('@');
    HoldRule rule{r.substr(0, at), 1};
    if (rule.event.empty() ||
        rule.event.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") != std::string::npos) {
        return HoldRule{};
    }
    if (at != std::string::npos) {
        const std::string n = r.substr(at + 1);
        if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(n) < 1) {
            return HoldRule{};
        }
        rule.nth = std::stol(n);
    }
    return rule;
}

}  // namespace

void hold_after(const std::string& event) {
    static long seen = 0;
    static const std::optional<HoldRule> rule = hold_rule();
    if (!rule || rule->event != event || ++seen != rule->nth) return;
    for (int i = 0; i < 600 && termination_signal == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool hold_control_valid(std::string& error) {
    const std::optional<HoldRule> rule = hold_rule();
    if (rule && rule->event.empty()) {
        error = "ORLIX_STATION_HOLD: \"" + std::string(std::getenv("ORLIX_STATION_HOLD")) +
                "\" is no EVENT[@N]";
        return false;
    }
    return true;
}
