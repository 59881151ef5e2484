#include "record_files.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "junit.h"
#include "record/events.h"
#include "report_page.h"

namespace {

constexpr const char* kNames[3] = {"record.json", "junit.xml", "report.html"};

}  // namespace

RecordFiles::~RecordFiles() {
    abandon();
}

void RecordFiles::abandon() {
    for (Replacement& r : files_) abandon_replacement(r);
    written_ = false;
}

bool RecordFiles::write(const RunRecord& run, std::string& error) {
    char host[HOST_NAME_MAX + 1] = "";
    gethostname(host, sizeof host);
    const std::string texts[3] = {json_text(record_document(run), 2) + "\n", junit_xml(run, host),
                                  report_page(run)};
    // Written again when the run's end changed since: the same files, anew.
    if (written_ && folder_ != run.output) abandon();
    folder_ = run.output;
    for (int i = 0; i < 3; ++i) {
        const std::string path = run.output + "/" + kNames[i];
        Replacement& r = files_[i];
        const bool ok = (written_ || begin_replacement(path, r, false)) &&
                        (!written_ || (ftruncate(r.fd, 0) == 0 && lseek(r.fd, 0, SEEK_SET) == 0)) &&
                        write_all(r.fd, texts[i].data(), texts[i].size());
        if (!ok) {
            error = path + ": " + std::strerror(errno);
            abandon();
            return false;
        }
    }
    written_ = true;
    return true;
}

bool RecordFiles::whole_in(const std::string& folder) {
    struct stat st {};
    for (const char* name : kNames) {
        if (lstat((folder + "/" + name).c_str(), &st) != 0) return false;
    }
    return true;
}

bool RecordFiles::commit(std::string& error) {
    bool ok = written_;
    for (int i = 0; i < 3; ++i) {
        if (!ok) {
            abandon_replacement(files_[i]);
        } else if (!commit_replacement(files_[i])) {
            ok = false;
            error = folder_ + "/" + kNames[i] + ": " + std::strerror(errno);
        }
    }
    written_ = false;
    return ok;
}
