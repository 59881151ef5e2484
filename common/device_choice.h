// Which device a program opens when its command line names none.
#pragma once

#include <cstdlib>

// ORLIX_DEVICE, which a test station sets to each board's device for that
// board's steps, so that a program on a bench of several boards talks to its
// own; null (any device) when unset or empty.
inline const char* device_from_environment() {
    const char* device = std::getenv("ORLIX_DEVICE");
    return device != nullptr && *device != '\0' ? device : nullptr;
}
