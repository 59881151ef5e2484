#include "trouble.h"

#include <algorithm>
#include <cstdio>

#include "escape.h"
#include "guard.h"

int trouble(const std::string& what) {
    fprintf(stderr, "station_run: %s\n", terminal_safe(what).c_str());
    return kTrouble;
}

int end_run(int status) {
    if (!finish_output("station_run")) status = std::max(status, kTrouble);
    if (termination_signal != 0) die_by_signal(termination_signal);
    return status;
}
