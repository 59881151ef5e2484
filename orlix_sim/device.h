// The simulated device's state, for its own tests.
#pragma once

namespace orlix_sim {

// Forgets the device and every counter and reads the ORLIX_SIM_* controls anew,
// so that one test process can start from a fresh library.
void reset();

}  // namespace orlix_sim
