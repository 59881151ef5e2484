// The runs a live view follows under its folder, and their records read as
// they grow: whole lines only, each once, from wherever a viewer left off.
// Nothing here writes, and no symbolic link is followed below the folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A folder below `dir_fd` by its relative path ("." for the folder itself),
// each part opened without following a link; -1 with errno when any part
// is missing, a link, or no plain name ("..", empty).
int open_beneath(int dir_fd, const std::string& relative, int flags);

// The run folders under the folder (itself, its folders and theirs: a run, a
// folder of runs, a station's folder, a folder of stations) that hold a
// record.jsonl; of those, the `most` latest to start, by their relative
// paths in order.
std::vector<std::string> find_runs(int dir_fd, std::size_t most);

// How far a viewer has read each record: its whole lines, by run folder.
using Cursor = std::map<std::string, std::uint64_t>;

// The cursor as an event id: "FOLDER:LINES" joined by ';', the names with
// '%', ':', ';' and every byte outside printable ASCII as %XX.
std::string cursor_text(const Cursor& cursor);
// An event id read back; parts that do not read are left out.
Cursor cursor_from(const std::string& text);

// A record read as it grows: the whole lines written since the last read.
// A last line not ended yet is left for later.
class RecordTail {
public:
    // Opens FOLDER/record.jsonl below `dir_fd` and passes over its first
    // `skip` lines (as many as there are).
    RecordTail(int dir_fd, std::string folder, std::uint64_t skip);
    ~RecordTail();
    RecordTail(const RecordTail&) = delete;
    RecordTail& operator=(const RecordTail&) = delete;

    // The lines that are whole since the last call, at most about `most`
    // bytes of them.
    std::vector<std::string> next_lines(std::size_t most);
    std::uint64_t lines() const { return lines_; }
    const std::string& folder() const { return folder_; }

private:
    bool open();
    int dir_fd_;
    std::string folder_;
    int fd_ = -1;
    std::uint64_t offset_ = 0;  // the byte after the last whole line read
    std::uint64_t lines_ = 0;
    std::uint64_t skip_;
};
