// The operator's channel from station_view to station_run: each request a
// small file dropped whole in a folder's ".control" folder and taken once, so
// that a run never depends on the view, and the view never on a run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr const char* kControlFolder = ".control";
constexpr std::size_t kControlMessageMost = 8192;  // bytes of one request
// A view that may answer renews its lease this often, and a lease this old
// is a view gone.
constexpr int kViewLeaseRenewS = 2;
constexpr int kViewLeaseS = 10;

// FOLDER/.control made (only its owner may drop requests in it) when it is
// missing; false with errno.
bool make_control_folder(const std::string& folder);

// Drops `body` as a request of `kind` ("start", "answer", "abort") in the
// control folder open at `control_fd`: whole, under a name that sorts by
// time, or not at all. False with errno.
bool post_control(int control_fd, const std::string& kind, const std::string& body);

// The requests of `kind` in FOLDER/.control, oldest first, each removed as
// it is taken. Only regular files of at most kControlMessageMost bytes are
// read; anything else of that kind is removed unread.
std::vector<std::string> take_control(const std::string& folder, const std::string& kind);

// The lease of a view that may answer, renewed in the control folder open at
// `control_fd`; false with errno.
bool renew_view_lease(int control_fd);

// Whether a view that may answer follows the run in `run_folder`: a lease in
// the control folder of the run's folder, its parent or theirs younger than
// kViewLeaseS.
bool view_follows(const std::string& run_folder);
