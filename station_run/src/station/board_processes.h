// The processes of a station's boards: one a board, each running the board's
// sequence as a board alone would, in a process group of its own, gone with
// the station's process however that ends. The station shows their lines
// under their sockets' names, serves their locks on the shared instruments
// and passes each termination signal on to them in socket order.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "board/board_run.h"
#include "station_json.h"

struct BoardProcess {
    std::size_t board = 0;  // its board among the station's
    bool resume = false;    // its folder holds a run to take up
    pid_t pid = -1;
    int lock_fd = -1, out_fd = -1, err_fd = -1;
    int typed_fd = -1;               // what the operator types, passed on while it has the operator
    std::string out_part, err_part;  // a line not ended yet
    int wait_status = 0;
};

// Starts each process, with its end of a socket pair for the locks and
// pipes for its output; false with errno.
bool start_boards(const StationRecord& station, std::vector<BoardProcess>& processes,
                  const RunSettings& settings);

// Runs the station until every process has ended. With `terminal`, what is
// typed there goes to the board whose question the operator answers.
void watch_boards(const StationRecord& station, std::vector<BoardProcess>& processes,
                  bool terminal);
