// The runs under the view's folder: found by one scan that every stream
// shares, at most once a second, with what it learnt of each folder kept
// until that folder changes. The folder itself replaced is opened anew;
// gone, it is said.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "record_reader.h"

// The view's folder, open; closed when no one uses it any more.
struct OpenFolder {
    explicit OpenFolder(int descriptor) : fd(descriptor) {}
    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    const int fd;
};

struct FollowedRun {
    std::string folder;  // below the view's folder; "." for the folder itself
    std::string key;     // its record's
    std::shared_ptr<RecordFile> record;
};

struct RunList {
    std::vector<FollowedRun> runs;  // the latest to start, by folder
    std::string note;               // why no new run can appear, when none can
    std::uint64_t generation = 0;   // another whenever anything above changed
};

class RunIndex {
public:
    // Follows at most `most` runs under the folder at `path`, opened as `fd`,
    // scanned anew at most every `rescan`.
    RunIndex(std::string path, int fd, std::size_t most,
             std::chrono::milliseconds rescan = std::chrono::seconds(1));

    // The runs now, scanned anew when the last scan is old enough.
    std::shared_ptr<const RunList> runs();
    std::shared_ptr<const OpenFolder> folder();

private:
    // What a scan learnt of one folder, kept while its inode and time stay.
    struct Known {
        std::uint64_t inode = 0;
        std::int64_t changed_ns = 0;
        bool run = false;                // holds a whole first line of a record
        bool waiting = false;            // holds a record whose first line is not whole yet
        std::string started, key;        // of a run
        std::vector<std::string> inner;  // of a folder of runs
    };
    void scan();
    bool folder_usable();
    const Known& learn(const std::string& folder, bool list_inner);

    std::mutex mutex_;
    const std::string path_;
    const std::size_t most_;
    const std::chrono::milliseconds rescan_;
    std::shared_ptr<OpenFolder> folder_;
    std::chrono::steady_clock::time_point scanned_{};
    std::map<std::string, Known> known_;
    std::set<std::string> followed_;  // the folders of the runs followed now
    std::shared_ptr<const RunList> list_;
    std::map<std::string, std::shared_ptr<RecordFile>> open_;  // by key
    std::string note_;
};
