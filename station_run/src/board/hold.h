// A test control: ORLIX_STATION_HOLD=EVENT[@N] holds the station for a
// minute after the N-th (default first) such event is on the disk, so that
// a test can kill it exactly there.
#pragma once

#include <string>

// Holds when `event` is the one the control names, for its N-th time.
void hold_after(const std::string& event);

// Whether the control, when set, reads as EVENT[@N]; false with a message.
bool hold_control_valid(std::string& error);
