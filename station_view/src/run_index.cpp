#include "run_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "beneath.h"
#include "cursor.h"

namespace {

constexpr std::size_t kMostFolders = 100000;  // read of one folder

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

std::int64_t changed_ns(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

}  // namespace

OpenFolder::~OpenFolder() {
    if (fd >= 0) close(fd);
}

RunIndex::RunIndex(std::string path, int fd, std::size_t most, std::chrono::milliseconds rescan)
    : path_(std::move(path)),
      most_(most),
      rescan_(rescan),
      folder_(std::make_shared<OpenFolder>(fd)),
      list_(std::make_shared<RunList>()) {}

std::shared_ptr<const OpenFolder> RunIndex::folder() {
    std::lock_guard<std::mutex> hold(mutex_);
    return folder_;
}

std::shared_ptr<const RunList> RunIndex::runs() {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - scanned_ >= rescan_) {
        scanned_ = now;
        if (folder_usable()) {
            scan();
        } else if (list_->note != note_) {
            // What was followed stays; only the note is new.
            auto list = std::make_shared<RunList>(*list_);
            list->note = note_;
            ++list->generation;
            list_ = std::move(list);
        }
    }
    return list_;
}

// The folder by its name again: replaced, it is opened anew and learnt from
// nothing; gone, the page is told. False when it cannot be scanned now.
bool RunIndex::folder_usable() {
    struct stat now, open;
    if (stat(path_.c_str(), &now) != 0) {
        note_ = path_ + ": " + std::strerror(errno) + "; no new run shows until it is back";
        return false;
    }
    if (!S_ISDIR(now.st_mode)) {
        note_ = path_ + " is no folder now; no new run shows until it is one again";
        return false;
    }
    note_.clear();
    if (fstat(folder_->fd, &open) == 0 && open.st_dev == now.st_dev && open.st_ino == now.st_ino) {
        return true;
    }
    const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        note_ = path_ + ": " + std::strerror(errno) + "; no new run shows until it can be read";
        return false;
    }
    folder_ = std::make_shared<OpenFolder>(fd);
    known_.clear();
    return true;
}

// What a folder holds, learnt anew when it changed. A run followed now is
// always read anew: a folder emptied and used again at once may keep its
// inode and time, never its record's first line.
const RunIndex::Known& RunIndex::learn(const std::string& folder, bool list_inner) {
    struct stat st;
    const int fd = folder_->fd;
    const bool there = folder == "." ? fstat(fd, &st) == 0
                                     : fstatat(fd, folder.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    Known& k = known_[folder];
    if (!there || !S_ISDIR(st.st_mode)) {
        k = Known{};
        return k;
    }
    if (k.inode == st.st_ino && k.changed_ns == changed_ns(st) && !k.waiting &&
        followed_.count(folder) == 0) {
        return k;
    }
    k = Known{};
    k.inode = st.st_ino;
    k.changed_ns = changed_ns(st);
    const RecordFile record(fd, folder);
    std::string line;
    if (record.fd() >= 0 && first_line(record.fd(), line)) {
        const nlohmann::json first = nlohmann::json::parse(line, nullptr, false);
        if (first.is_object() && first.contains("started") && first["started"].is_string()) {
            k.started = first["started"].get<std::string>();
        }
        k.run = true;
        k.key = record_key(folder, line);
    } else if (record.fd() >= 0) {
        k.waiting = true;  // asked again at the next scan
    } else if (list_inner) {
        k.inner = folders_in(fd, folder);
    }
    return k;
}

void RunIndex::scan() {
    followed_.clear();
    for (const FollowedRun& r : list_->runs) followed_.insert(r.folder);
    std::vector<std::pair<std::string, const Known*>> runs;
    std::map<std::string, bool> seen;
    auto consider = [&](const std::string& folder, bool list_inner) -> const Known& {
        seen[folder] = true;
        const Known& k = learn(folder, list_inner);
        if (k.run) runs.emplace_back(folder, &k);
        return k;
    };
    const Known& top = consider(".", true);
    if (!top.run) {
        const std::vector<std::string> folders = top.inner;
        for (const std::string& folder : folders) {
            const Known& k = consider(folder, true);
            if (k.run) continue;
            const std::vector<std::string> inner = k.inner;
            for (const std::string& f : inner) consider(f, false);
        }
    }
    std::erase_if(known_, [&](const auto& entry) { return !seen.count(entry.first); });
    std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) {
        return a.second->started != b.second->started ? a.second->started > b.second->started
                                                      : a.first < b.first;
    });
    if (runs.size() > most_) runs.resize(most_);
    std::sort(runs.begin(), runs.end());
    auto list = std::make_shared<RunList>();
    std::map<std::string, std::shared_ptr<RecordFile>> open;
    for (const auto& [folder, k] : runs) {
        auto it = open_.find(k->key);
        std::shared_ptr<RecordFile> file =
            it != open_.end() ? it->second : std::make_shared<RecordFile>(folder_->fd, folder);
        open[k->key] = file;
        list->runs.push_back({folder, k->key, file});
    }
    open_ = std::move(open);
    list->note = note_;
    bool same = list->note == list_->note && list->runs.size() == list_->runs.size();
    for (std::size_t i = 0; same && i < list->runs.size(); ++i) {
        same = list->runs[i].key == list_->runs[i].key;
    }
    list->generation = list_->generation + (same ? 0 : 1);
    if (!same) list_ = std::move(list);
}
