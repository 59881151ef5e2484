// A document checked against one of the schemas station_run ships.
#pragma once

#include <string>

#include "process.h"

namespace test_support {

// What a JSON document `text` breaks of the shipped schema `schema` (its
// name in station_run/), as the checker says; empty when it conforms.
inline std::string schema_faults(const std::string& schema, const std::string& text) {
    TempDir dir;
    write_file(dir / "document.json", text);
    const Result r =
        run(launch_in(dir.path(), PYTHON3_BIN,
                      {SOURCE_DIR "/tests/data/check_json.py", SOURCE_DIR "/station_run/" + schema,
                       (dir / "document.json").string()}));
    return r.exit_code == 0 ? ""
                            : r.out + r.err + "(exit status " + std::to_string(r.exit_code) + ")";
}

}  // namespace test_support
