// The fleet page: one self-contained page (no script, no outside resource)
// with each measurement's capability figures and its control chart drawn as
// inline SVG (limits, marginal bands, control limits, firing points), and
// the last runs.
#pragma once

#include <string>

#include "statistics.h"

// The page of a summary whose charts are made (add_control_charts).
std::string fleet_page(const Summary& summary);
