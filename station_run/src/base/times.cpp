#include "times.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

std::string record_form(std::time_t seconds, int milliseconds) {
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milliseconds);
    return text;
}

// Digits at text[at, at + n) as a number; -1 when they are not all digits.
int digits(const std::string& text, std::size_t at, std::size_t n) {
    if (at + n > text.size()) return -1;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

// Seconds since the epoch of a UTC calendar time that must be a real one.
std::optional<std::time_t> calendar(int year, int month, int day, int hour, int minute,
                                    int second) {
    if (year < 1970 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 60) {
        return {};
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::time_t t = timegm(&tm);
    std::tm back{};
    gmtime_r(&t, &back);
    if (back.tm_mday != day || back.tm_mon != month - 1) return {};  // 31 February
    return t;
}

}  // namespace

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    return record_form(std::chrono::system_clock::to_time_t(now), static_cast<int>(ms.count()));
}

std::optional<std::string> time_from_user(const std::string& t) {
    const int year = digits(t, 0, 4), month = digits(t, 5, 2), day = digits(t, 8, 2);
    if (t.size() < 10 || t[4] != '-' || t[7] != '-' || year < 0 || month < 0 || day < 0) {
        return {};
    }
    if (t.size() == 10) {
        const auto at = calendar(year, month, day, 0, 0, 0);
        return at ? std::optional(record_form(*at, 0)) : std::nullopt;
    }
    const int hour = digits(t, 11, 2), minute = digits(t, 14, 2), second = digits(t, 17, 2);
    if (t.size() < 20 || (t[10] != 'T' && t[10] != 't' && t[10] != ' ') || t[13] != ':' ||
        t[16] != ':' || hour < 0 || minute < 0 || second < 0) {
        return {};
    }
    std::size_t at = 19;
    int milliseconds = 0;
    if (t[at] == '.') {
        std::size_t n = 0;
        for (++at; at < t.size() && t[at] >= '0' && t[at] <= '9'; ++at, ++n) {
            if (n < 3) milliseconds = milliseconds * 10 + (t[at] - '0');
        }
        if (n == 0) return {};
        for (; n < 3; ++n) milliseconds *= 10;
    }
    long offset = 0;
    if (at + 1 == t.size() && (t[at] == 'Z' || t[at] == 'z')) {
        offset = 0;
    } else if (at + 6 == t.size() && (t[at] == '+' || t[at] == '-') && t[at + 3] == ':') {
        const int h = digits(t, at + 1, 2), m = digits(t, at + 4, 2);
        if (h < 0 || m < 0 || h > 23 || m > 59) return {};
        offset = (t[at] == '+' ? 1 : -1) * (h * 3600L + m * 60L);
    } else {
        return {};
    }
    const auto local = calendar(year, month, day, hour, minute, second);
    if (!local) return {};
    return record_form(*local - offset, milliseconds);
}

double seconds_between(const std::string& from, const std::string& to) {
    auto parse = [](const std::string& t) {
        const auto at = t.size() == 24 && t.back() == 'Z' ? time_from_user(t) : std::nullopt;
        if (!at) return -1.0;
        const auto s = calendar(digits(t, 0, 4), digits(t, 5, 2), digits(t, 8, 2), digits(t, 11, 2),
                                digits(t, 14, 2), digits(t, 17, 2));
        return s ? static_cast<double>(*s) + digits(t, 20, 3) / 1000.0 : -1.0;
    };
    const double a = parse(from), b = parse(to);
    return a >= 0 && b >= a ? b - a : 0;
}
