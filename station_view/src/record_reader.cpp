#include "record_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "beneath.h"

namespace {

constexpr std::size_t kLineMost = std::size_t{1} << 20;  // a record's line, whole
constexpr std::size_t kCutShown = 4096;                  // of a line past it

std::string cut_line(const std::string& head, std::uint64_t bytes) {
    return "[a line of " + std::to_string(bytes) + " bytes, cut; its first " +
           std::to_string(head.size()) + " follow] " + head;
}

}  // namespace

std::string record_of(const std::string& folder) {
    return folder == "." ? "record.jsonl" : folder + "/record.jsonl";
}

RecordFile::RecordFile(int dir_fd, const std::string& folder) {
    fd_ = open_beneath(dir_fd, record_of(folder), O_RDONLY | O_NONBLOCK);
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd_);
        fd_ = -1;
    }
}

RecordFile::~RecordFile() {
    if (fd_ >= 0) close(fd_);
}

bool first_line(int fd, std::string& line) {
    std::string head(64 * 1024, '\0');
    const ssize_t n = pread(fd, head.data(), head.size(), 0);
    head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::size_t end = head.find('\n');
    if (end == std::string::npos) return false;
    line = head.substr(0, end);
    return true;
}

RecordReader::RecordReader(std::shared_ptr<RecordFile> file, std::uint64_t skip)
    : file_(std::move(file)), skip_(skip) {}

std::vector<std::string> RecordReader::next_lines(std::size_t most) {
    std::vector<std::string> out;
    const int fd = file_ ? file_->fd() : -1;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) <= offset_) {
        return out;
    }
    std::string text(std::min<std::uint64_t>(st.st_size - offset_, kLineMost), '\0');
    const ssize_t n = pread(fd, text.data(), text.size(), static_cast<off_t>(offset_));
    if (n <= 0) return out;
    text.resize(static_cast<std::size_t>(n));
    auto take = [&](std::string line) {
        ++lines_;
        if (skip_ > 0) {
            --skip_;
            return;
        }
        most -= std::min(most, line.size());
        out.push_back(std::move(line));
    };
    std::size_t at = 0;
    for (std::size_t end; most > 0 && (end = text.find('\n', at)) != std::string::npos;
         at = end + 1) {
        offset_ += end + 1 - at;
        if (long_ > 0) {
            take(cut_line(long_head_, long_ + (end - at)));
            long_ = 0;
            long_head_.clear();
        } else {
            take(text.substr(at, end - at));
        }
    }
    // A line that fills the whole read without ending is passed over as it
    // comes, its head kept to show once it ends.
    if (at == 0 && text.size() == kLineMost && text.find('\n') == std::string::npos) {
        if (long_ == 0) long_head_ = text.substr(0, kCutShown);
        long_ += text.size();
        offset_ += text.size();
    }
    return out;
}
