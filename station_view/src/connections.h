// The connections the view takes: a bound per client address, a deadline for
// a request's whole header, and one request a connection, so that slow or
// many connections from one address hold no worker another needs, and a
// header a page left open from an older viewer may send is no refusal.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

struct ConnectionLimits {
    std::size_t per_address = 24;              // connections at once from one address
    std::chrono::milliseconds headers{10000};  // to send a request's whole header
    std::size_t header_bytes = 64 * 1024;      // of a request's header block
    std::chrono::milliseconds wait{5000};      // a read or write that waits longer fails
};

class ViewServer : public httplib::Server {
public:
    explicit ViewServer(const ConnectionLimits& limits) : limits_(limits) {}
    // Binds as the library does, with room for many connections arriving at
    // once, so that a flood of them does not keep a browser's out.
    bool bind(const std::string& host, int port);

private:
    bool process_and_close_socket(socket_t sock) override;
    bool admit(const std::string& address);
    void leave(const std::string& address);

    const ConnectionLimits limits_;
    std::mutex mutex_;
    std::map<std::string, std::size_t> by_address_;
};

// A request's header block as the library is given it: a Last-Event-ID
// longer than any this viewer sends is left out (the library would refuse
// the request, and a browser never asks again), so that its stream starts
// over; a Range of many or overlapping spans is left out (the library would
// repeat the page for each), so that the page comes whole.
std::string header_for_library(const std::string& block);

// Whether a Range header's value asks for a few spans, none overlapping.
bool ranges_acceptable(const std::string& value);
