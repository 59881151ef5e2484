// What the tests read from capture_inspect's standard error.
#pragma once

#include <string>
#include <vector>

#include "process.h"

namespace test_support {

// The names of the checks that failed, in order, as capture_inspect names them.
inline std::vector<std::string> failed_checks(const std::string& err) {
    std::vector<std::string> names;
    for (const std::string& line : lines_starting(err, CAPTURE_INSPECT_BIN)) {
        const std::string marker = ": check failed: ";
        const std::size_t at = line.find(marker);
        if (at != std::string::npos) {
            const std::string rest = line.substr(at + marker.size());
            names.push_back(rest.substr(0, rest.find(':')));
        }
    }
    return names;
}

}  // namespace test_support
