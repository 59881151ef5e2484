// report.html: one page a person reads. Self-contained (styles inline, the
// capture's picture as a data: URI, no script), it shows the verdict, the
// steps, every measurement with a bar between its limits, the capture's
// picture and figures, and each step's output; it prints in one column.
#pragma once

#include <string>

#include "record/run_record.h"

// The page for a run whose files lie in run.output.
std::string report_page(const RunRecord& run);
