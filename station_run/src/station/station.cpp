#include "station.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/signal_wake.h"
#include "base/times.h"
#include "base/trouble.h"
#include "board/programs.h"
#include "board/run_folder.h"
#include "board_processes.h"
#include "escape.h"
#include "guard.h"
#include "outputs/record_files.h"
#include "record/events.h"
#include "sequence/sequence.h"
#include "station_json.h"

namespace {

// A board's result from its record; a board whose process died before it
// ended its run has none, and counts as trouble. `process` is null for a
// board whose run ended before this station's process.
void read_result(StationBoard& b, const BoardProcess* process) {
    RunRecord r;
    bool cut = false;
    std::string error;
    b.verdict.reset();
    b.failed.clear();
    b.note.clear();
    b.exit_status = kTrouble;
    if (!replay(b.folder + "/record.jsonl", r, cut, error)) {
        b.note = error;
        return;
    }
    if (!r.verdict) {
        const int wait_status = process ? process->wait_status : 0;
        b.note = WIFSIGNALED(wait_status)
                     ? std::string("its station_run died by ") + strsignal(WTERMSIG(wait_status))
                     : "its run did not end";
        return;
    }
    b.verdict = r.verdict;
    b.exit_status = r.exit_status;
    // The run's files come after its last event: a board whose process
    // ended worse than its record says lost something the record cannot.
    const int wait_status = process ? process->wait_status : 0;
    const int ended = !process && b.kept_exit_status ? *b.kept_exit_status
                      : WIFEXITED(wait_status)       ? WEXITSTATUS(wait_status)
                                                     : 0;
    if (ended > r.exit_status) {
        b.verdict = worse(*b.verdict, Verdict::error);
        b.exit_status = ended;
        b.note = "its station_run exited " + std::to_string(b.exit_status) +
                 ", above its record's " + std::to_string(r.exit_status);
    }
    for (const StepRecord& step : r.steps) {
        if (counts_as_failed(step)) {
            b.failed.push_back(step.name);
        }
    }
}

// The station's result: a line a socket, then its verdict; station.json
// says the same.
int conclude_station(StationRecord& s, const std::vector<BoardProcess>& processes) {
    Verdict verdict = Verdict::pass;
    int status = 0;
    for (std::size_t i = 0; i < s.boards.size(); ++i) {
        StationBoard& b = s.boards[i];
        const auto process = std::find_if(processes.begin(), processes.end(),
                                          [&](const BoardProcess& p) { return p.board == i; });
        read_result(b, process == processes.end() ? nullptr : &*process);
        verdict = worse(verdict, b.verdict.value_or(Verdict::error));
        status = std::max(status, b.exit_status);
    }
    if (termination_signal != 0) verdict = Verdict::aborted;
    s.verdict = verdict;
    s.exit_status = status;
    s.ended = utc_now();
    const bool kept = write_station_json(s);
    printf("Station %s: %zu board%s\n", terminal_safe(s.name).c_str(), s.boards.size(),
           s.boards.size() == 1 ? "" : "s");
    for (const StationBoard& b : s.boards) {
        std::string failed;
        for (const std::string& step : b.failed) failed += (failed.empty() ? "" : ", ") + step;
        const std::string note = !b.verdict       ? b.note
                                 : b.note.empty() ? failed
                                 : failed.empty() ? b.note
                                                  : failed + "; " + b.note;
        std::string line = "  " + terminal_safe(b.socket);
        line.resize(std::max<std::size_t>(line.size() + 1, 15), ' ');
        line += terminal_safe(b.serial);
        line.resize(std::max<std::size_t>(line.size() + 1, 32), ' ');
        line += b.verdict ? verdict_name(*b.verdict) : "ERROR";
        if (!note.empty()) line.resize(std::max<std::size_t>(line.size() + 1, 42), ' ');
        printf("%s%s\n", line.c_str(), terminal_safe(note).c_str());
    }
    for (const auto& [socket, why] : s.not_run) {
        std::string line = "  " + terminal_safe(socket);
        line.resize(std::max<std::size_t>(line.size() + 1, 15), ' ');
        line += "-";
        line.resize(32, ' ');
        printf("%snot run: %s\n", line.c_str(), terminal_safe(why).c_str());
    }
    printf("Station %s (exit status %d)\nSummary: %s/%s\n", verdict_name(verdict), status,
           terminal_safe(s.folder).c_str(), kStationJson);
    if (!kept) status = std::max(status, kTrouble);
    return end_run(status);
}

// Runs the boards to their ends and concludes.
int run_boards(StationRecord& s, std::vector<BoardProcess>& processes,
               const RunSettings& settings) {
    if (!catch_signals_to_pipe()) return trouble(strerror(errno));
    if (!start_boards(s, processes, settings)) {
        trouble(std::string("a board cannot be started: ") + strerror(errno));
        for (const BoardProcess& p : processes) {
            if (p.pid > 0) kill(p.pid, SIGTERM);
        }
    }
    watch_boards(s, processes, settings.terminal_fd >= 0);
    return conclude_station(s, processes);
}

}  // namespace

int run_station(const NewStation& o, const RunSettings& settings) {
    StationRecord s;
    s.name = o.run.station;
    s.file_path = o.file.path;
    s.file_sha256 = o.file.sha256;
    s.run = o.run;
    // Every board's run follows the same sequence: checked once, here.
    s.run.sequence = sequence_file_of(o.run);
    Sequence sequence;
    std::string error;
    if (!load_sequence(s.run.sequence, sequence, error)) return trouble(error);
    if (!s.run.image.empty()) {
        char resolved[PATH_MAX];
        if (realpath(s.run.image.c_str(), resolved) == nullptr) {
            return trouble(s.run.image + ": " + strerror(errno));
        }
        s.run.image = resolved;
    }
    s.folder = o.folder;
    FolderLock lock;
    if (!make_run_folder(s.folder, s.name, lock, error, o.run.parent)) return trouble(error);
    if (is_station_folder(s.folder)) {
        return trouble(s.folder + ": holds a station's run already (--resume continues it)");
    }
    for (const Socket& socket : o.file.sockets) {
        const auto given = std::find_if(o.serials.begin(), o.serials.end(),
                                        [&](const auto& x) { return x.first == socket.name; });
        if (given == o.serials.end()) {
            s.not_run.emplace_back(socket.name, "no serial given");
            continue;
        }
        StationBoard b;
        b.socket = socket.name;
        b.serial = given->second;
        b.device = socket.device;
        b.env = socket.env;
        b.folder = s.folder + "/" + socket.name;
        const auto from = o.started_from.find(socket.name);
        if (from != o.started_from.end()) b.started_from = from->second;
        s.boards.push_back(std::move(b));
    }
    s.started = utc_now();
    if (!write_station_json(s)) return kTrouble;
    printf("Station %s: %zu board%s in %s\n", terminal_safe(s.name).c_str(), s.boards.size(),
           s.boards.size() == 1 ? "" : "s", terminal_safe(s.folder).c_str());
    std::vector<BoardProcess> processes;
    for (std::size_t i = 0; i < s.boards.size(); ++i) {
        BoardProcess p;
        p.board = i;
        processes.push_back(p);
    }
    return run_boards(s, processes, settings);
}

int resume_station(const std::string& folder, const RunSettings& settings) {
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) {
        return trouble(folder + ": " + strerror(errno));
    }
    StationRecord s;
    s.folder = resolved;
    FolderLock lock;
    std::string error;
    if (!lock.take(s.folder, error)) return trouble(error);
    if (!read_station_json(s, error)) return trouble(error);
    // A board whose run ended stays as it is, once all its files are there
    // (a kill between its last event and its files leaves them to be written);
    // one that began is taken up, one that never began starts now.
    std::string taken_up;
    std::vector<BoardProcess> processes;
    for (std::size_t i = 0; i < s.boards.size(); ++i) {
        const StationBoard& b = s.boards[i];
        struct stat st;
        BoardProcess p;
        p.board = i;
        p.resume = lstat((b.folder + "/record.jsonl").c_str(), &st) == 0;
        if (p.resume) {
            RunRecord r;
            bool cut = false;
            if (!replay(b.folder + "/record.jsonl", r, cut, error)) return trouble(error);
            if (finished(r) && RecordFiles::whole_in(b.folder)) continue;
        }
        processes.push_back(p);
        taken_up += (taken_up.empty() ? "" : ", ") + b.socket;
    }
    printf("Resuming station %s in %s: %s\n", terminal_safe(s.name).c_str(),
           terminal_safe(s.folder).c_str(),
           taken_up.empty() ? "every board ended already" : terminal_safe(taken_up).c_str());
    return run_boards(s, processes, settings);
}
