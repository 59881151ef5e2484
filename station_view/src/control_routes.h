// The view's routes that act: the one-time link that opens the operator's
// session, the loop's state, and the requests to start a board, answer a
// question and abort a run, each passed to station_run through the control
// folder of the run or the loop. Without a gate every one is refused.
#pragma once

#include <httplib.h>

#include "server.h"

void add_control_routes(httplib::Server& server, const ViewSettings& settings);
