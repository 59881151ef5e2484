// Who may start, answer and abort from the view: the one who opened its
// one-time link. The link's secret opens one session, once; the session
// rides in an HttpOnly, SameSite=Strict cookie; and each page of the session
// carries a token that every request to change something must echo, so
// that a page of another site cannot send one in the operator's name.
#pragma once

#include <mutex>
#include <string>

constexpr const char* kSessionCookie = "station_view_control";

class ControlGate {
public:
    ControlGate();  // a fresh secret
    const std::string& secret() const { return secret_; }

    // The session the link opens: once, for the right secret only; empty
    // otherwise.
    std::string open(const std::string& secret);
    // The session's token, for a request whose Cookie header carries the
    // session; empty for any other.
    std::string token_for(const std::string& cookie_header) const;
    // Whether the Cookie header carries the session and `token` is its own.
    bool allows(const std::string& cookie_header, const std::string& token) const;

private:
    std::string secret_;
    mutable std::mutex mutex_;
    bool used_ = false;
    std::string session_, token_;
};

// The value of cookie `name` in a Cookie header; empty when absent.
std::string cookie_value(const std::string& header, const std::string& name);
