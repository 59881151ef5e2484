// A board's steps run one after another, each attempt under supervision,
// measured, and recorded as it goes.
#pragma once

#include "record/run_record.h"
#include "run_state.h"

// One line a step: its verdict, name, time and what its note says.
void print_step(const StepRecord& s);

// Runs every step that has no verdict yet; false when the run was aborted.
bool run_steps(BoardRunState& run);
