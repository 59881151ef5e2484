#include "record_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "events.h"
#include "files.h"

using ordered_json = nlohmann::ordered_json;

RecordLog::~RecordLog() {
    if (fd_ >= 0) close(fd_);
}

bool RecordLog::open(const std::string& path, std::string& error) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, new_file_mode(path));
    if (fd_ < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // A line cut short by a kill ends at the last newline.
    struct stat st;
    if (fstat(fd_, &st) == 0 && st.st_size > 0) {
        off_t end = st.st_size;
        char c = 0;
        while (end > 0 && pread(fd_, &c, 1, end - 1) == 1 && c != '\n') --end;
        if (end != st.st_size && (ftruncate(fd_, end) != 0 || fdatasync(fd_) != 0)) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool RecordLog::append(const ordered_json& event, std::string& error) {
    const std::string line = json_text(event) + "\n";
    if (!write_all(fd_, line.data(), line.size()) || fdatasync(fd_) != 0) {
        error = std::string("record.jsonl: ") + std::strerror(errno);
        return false;
    }
    return true;
}
