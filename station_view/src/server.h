// The live view's routes: the page, the event stream of the records' lines,
// and a finished run's page; nothing else is served, and only to a request
// for this viewer's own address.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control_gate.h"
#include "run_index.h"

struct ViewSettings {
    std::shared_ptr<RunIndex> index;              // the runs followed, shared by every stream
    std::size_t most_streams = 16;                // event streams at once; more are told to retry
    int poll_ms = 20;                             // how often a stream looks for new lines
    std::vector<std::string> hosts;               // a request's Host must be one; empty: any
    const std::atomic<bool>* stopping = nullptr;  // set when the viewer stops
    std::shared_ptr<ControlGate> control;         // who may act; none: the view only watches
};

// Sets the server's bounds and routes.
void set_up_view(httplib::Server& server, const ViewSettings& settings);

// The Host values a viewer listening on `address` (as given: 127.0.0.1, ::1,
// a name) and `port` answers: the address, and localhost for a loopback one;
// none (any) for a wildcard address, which listens everywhere.
std::vector<std::string> hosts_for(const std::string& address, int port);

// One record line as an event's data: the run folder, the line's number and
// the line as it stands (a line that is no JSON object, or holds a carriage
// return, as a string under "text" instead).
std::string event_data(const std::string& folder, std::uint64_t line, const std::string& text);

// The relative path of a run folder from /runs/PATH/report.html, when it is
// one the view may serve: at most three plain parts, none "." or "..".
bool report_folder(const std::string& path, std::string& folder);
