// record.json, junit.xml and report.html of a run: all three or none, never
// through a link. They are written before the run's last event and its
// history row, so that a run whose files cannot be written says so there,
// and take their names at the very end.
#pragma once

#include <string>

#include "files.h"
#include "record/run_record.h"

class RecordFiles {
public:
    // Whether the three files of the run in `folder` are all there: they take
    // their names one after another, and a kill may come between.
    static bool whole_in(const std::string& folder);

    RecordFiles() = default;
    ~RecordFiles();
    RecordFiles(const RecordFiles&) = delete;
    RecordFiles& operator=(const RecordFiles&) = delete;

    // Writes the three files of `run` as it stands, not yet named; false with
    // a reason, and nothing left, when any cannot be written whole.
    bool write(const RunRecord& run, std::string& error);
    // Names the files written; false with a reason, the old ones then kept.
    bool commit(std::string& error);
    bool written() const { return written_; }

private:
    void abandon();
    std::string folder_;
    Replacement files_[3];
    bool written_ = false;
};
