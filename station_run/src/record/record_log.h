// record.jsonl on the disk: each event appended whole and flushed before
// the run goes on.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// record.jsonl, opened to append.
class RecordLog {
public:
    RecordLog() = default;
    ~RecordLog();
    RecordLog(const RecordLog&) = delete;
    RecordLog& operator=(const RecordLog&) = delete;

    // Opens (creating) the log; a line cut short at its end is cut off.
    bool open(const std::string& path, std::string& error);
    // Writes the event as one line and flushes it to the disk.
    bool append(const nlohmann::ordered_json& event, std::string& error);

private:
    int fd_ = -1;
};
