// The live view's routes: the page, the event stream of the records' lines,
// and a finished run's page; nothing else is served.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run_index.h"

struct ViewSettings {
    std::shared_ptr<RunIndex> index;              // the runs followed, shared by every stream
    std::size_t most_streams = 16;                // event streams at once; more are told to retry
    int poll_ms = 20;                             // how often a stream looks for new lines
    const std::atomic<bool>* stopping = nullptr;  // set when the viewer stops
};

// Sets the server's bounds and routes.
void set_up_view(httplib::Server& server, const ViewSettings& settings);

// One record line as an event's data: the run folder, the line's number and
// the line as it stands (a line that is no JSON object, or holds a carriage
// return, as a string under "text" instead).
std::string event_data(const std::string& folder, std::uint64_t line, const std::string& text);

// The relative path of a run folder from /runs/PATH/report.html, when it is
// one the view may serve: at most three plain parts, none "." or "..".
bool report_folder(const std::string& path, std::string& folder);
