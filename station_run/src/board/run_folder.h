// The run folder: made for a new run, and held by one station at a time.
#pragma once

#include <string>

// Holds a run folder for this process, with a lock on its file run.lock that
// goes with the process however it ends. A second station_run, to run or to
// resume, is refused.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // False with a reason that names the process holding it.
    bool take(const std::string& folder, std::string& error);

private:
    int fd_ = -1;
};

// A new run folder, held: `folder` as given (made when missing), or
// PARENT/SERIAL-YYYYMMDDTHHMMSSZ (-2, -3, ... when taken) with the serial made
// a plain, visible name. It becomes the folder's absolute path. Refused when
// it holds a run already.
// Only the folder PARENT/SERIAL-YYYYMMDDTHHMMSSZ made, as make_run_folder
// makes it, for a run another process starts in it.
bool new_run_folder(const std::string& parent, const std::string& serial, std::string& folder,
                    std::string& error);
bool make_run_folder(std::string& folder, const std::string& serial, FolderLock& lock,
                     std::string& error, const std::string& parent = "runs");
