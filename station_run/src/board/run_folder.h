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
// runs/SERIAL-YYYYMMDDTHHMMSSZ (-2, -3, ... when taken) with the serial made
// a plain, visible name. It becomes the folder's absolute path. Refused when
// it holds a run already.
bool make_run_folder(std::string& folder, const std::string& serial, FolderLock& lock,
                     std::string& error);
