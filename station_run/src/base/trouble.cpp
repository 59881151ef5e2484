#include "trouble.h"

#include <cstdio>

#include "escape.h"

int trouble(const std::string& what) {
    fprintf(stderr, "station_run: %s\n", terminal_safe(what).c_str());
    return kTrouble;
}
