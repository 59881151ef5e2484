#include "runs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

namespace {

constexpr std::size_t kMostFolders = 100000;         // read of one folder
constexpr std::size_t kFirstLineMost = 64 * 1024;    // for a run's start
constexpr std::size_t kReadMost = 16 * 1024 * 1024;  // of a record at a time

std::vector<std::string> parts_of(const std::string& relative) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', at);
        parts.push_back(relative.substr(at, slash == std::string::npos ? slash : slash - at));
        if (slash == std::string::npos) return parts;
        at = slash + 1;
    }
}

std::string record_of(const std::string& folder) {
    return folder == "." ? "record.jsonl" : folder + "/record.jsonl";
}

// The folders in a folder, hidden ones and links left out.
std::vector<std::string> folders_in(int dir_fd, const std::string& relative) {
    std::vector<std::string> out;
    const int fd = open_beneath(dir_fd, relative, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return out;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return out;
    }
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || out.size() >= kMostFolders) continue;
        struct stat st;
        if (e->d_type == DT_DIR || (e->d_type == DT_UNKNOWN &&
                                    fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                    S_ISDIR(st.st_mode))) {
            out.push_back(relative == "." ? e->d_name : relative + "/" + e->d_name);
        }
    }
    closedir(dir);
    return out;
}

// When a run started, from the first line of its record; remembered by the
// record's inode, since that line never changes.
struct Start {
    bool found = false;
    std::string started;
};
Start start_of(int dir_fd, const std::string& folder) {
    static std::mutex lock;
    static std::map<std::pair<std::string, ino_t>, std::string> known;
    const int fd = open_beneath(dir_fd, record_of(folder), O_RDONLY);
    if (fd < 0) return {};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return {};
    }
    const auto key = std::make_pair(folder, st.st_ino);
    {
        std::lock_guard<std::mutex> hold(lock);
        if (const auto it = known.find(key); it != known.end()) {
            close(fd);
            return {true, it->second};
        }
    }
    std::string head(kFirstLineMost, '\0');
    const ssize_t n = pread(fd, head.data(), head.size(), 0);
    close(fd);
    head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::size_t end = head.find('\n');
    if (end == std::string::npos) return {true, ""};  // not whole yet: asked again later
    const nlohmann::json first = nlohmann::json::parse(head.substr(0, end), nullptr, false);
    std::string started;
    if (first.is_object() && first.contains("started") && first["started"].is_string()) {
        started = first["started"].get<std::string>();
    }
    std::lock_guard<std::mutex> hold(lock);
    known[key] = started;
    return {true, started};
}

bool hex_digit(char c, int& value) {
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else
        return false;
    return true;
}

std::string encoded(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c == '%' || c == ':' || c == ';' || c <= 0x20 || c >= 0x7f) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool decoded(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        int high = 0, low = 0;
        if (text[i] != '%') {
            out += text[i];
        } else if (i + 2 < text.size() && hex_digit(text[i + 1], high) &&
                   hex_digit(text[i + 2], low)) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            return false;
        }
    }
    return !out.empty();
}

}  // namespace

int open_beneath(int dir_fd, const std::string& relative, int flags) {
    if (relative == ".") return openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::vector<std::string> parts = parts_of(relative);
    for (const std::string& p : parts) {
        if (p.empty() || p == "." || p == ".." || p.find('\0') != std::string::npos) {
            errno = EINVAL;
            return -1;
        }
    }
    int at = dir_fd;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const int fd = openat(at, parts[i].c_str(),
                              (last ? flags : O_RDONLY | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        if (at != dir_fd) close(at);
        errno = saved;
        if (fd < 0) return -1;
        at = fd;
    }
    return at;
}

std::vector<std::string> find_runs(int dir_fd, std::size_t most) {
    std::vector<std::pair<std::string, std::string>> runs;  // started, folder
    auto consider = [&](const std::string& folder) {
        const Start s = start_of(dir_fd, folder);
        if (s.found) runs.emplace_back(s.started, folder);
        return s.found;
    };
    consider(".");
    for (const std::string& folder : folders_in(dir_fd, ".")) {
        if (consider(folder)) continue;
        for (const std::string& inner : folders_in(dir_fd, folder)) consider(inner);
    }
    std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    if (runs.size() > most) runs.resize(most);
    std::vector<std::string> out;
    for (auto& r : runs) out.push_back(std::move(r.second));
    std::sort(out.begin(), out.end());
    return out;
}

std::string cursor_text(const Cursor& cursor) {
    std::string out;
    for (const auto& [folder, lines] : cursor) {
        if (lines == 0) continue;
        if (!out.empty()) out += ';';
        out += encoded(folder);
        out += ':';
        out += std::to_string(lines);
    }
    return out;
}

Cursor cursor_from(const std::string& text) {
    Cursor cursor;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find(';', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        const std::size_t colon = part.rfind(':');
        std::string folder;
        if (colon != std::string::npos && colon + 1 < part.size() && colon + 21 > part.size() &&
            part.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
            decoded(part.substr(0, colon), folder)) {
            cursor[folder] = std::stoull(part.substr(colon + 1));
        }
        at = end + 1;
    }
    return cursor;
}

RecordTail::RecordTail(int dir_fd, std::string folder, std::uint64_t skip)
    : dir_fd_(dir_fd), folder_(std::move(folder)), skip_(skip) {}

RecordTail::~RecordTail() {
    if (fd_ >= 0) close(fd_);
}

bool RecordTail::open() {
    fd_ = open_beneath(dir_fd_, record_of(folder_), O_RDONLY);
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd_);
        fd_ = -1;
    }
    return fd_ >= 0;
}

std::vector<std::string> RecordTail::next_lines(std::size_t most) {
    std::vector<std::string> out;
    if (fd_ < 0 && !open()) return out;
    struct stat st;
    if (fstat(fd_, &st) != 0 || static_cast<std::uint64_t>(st.st_size) <= offset_) return out;
    std::string text(std::min<std::uint64_t>(st.st_size - offset_, kReadMost), '\0');
    const ssize_t n = pread(fd_, text.data(), text.size(), static_cast<off_t>(offset_));
    if (n <= 0) return out;
    text.resize(static_cast<std::size_t>(n));
    std::size_t at = 0, taken = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos && taken < most;
         at = end + 1) {
        offset_ += end + 1 - at;
        ++lines_;
        if (skip_ > 0) {
            --skip_;
            continue;
        }
        out.push_back(text.substr(at, end - at));
        taken += end - at;
    }
    return out;
}
