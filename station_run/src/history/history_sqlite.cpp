// The history in a SQLite file: a station's own. WAL and a busy time-out let
// several station_run processes on one station write to it at once.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <unordered_map>

#include "history.h"

namespace {

class SqliteHistory : public History {
public:
    SqliteHistory(sqlite3* db, const HistoryLimits& limits) : db_(db), limits_(limits) {
        // Waits for another station's lock in short naps, for the time-out at
        // most, and not at all once station_run is told to stop.
        sqlite3_busy_handler(
            db_,
            [](void* self, int tries) {
                auto* h = static_cast<SqliteHistory*>(self);
                const int signals = h->limits_.signals ? *h->limits_.signals : 0;
                if (tries == 0) {
                    h->waiting_since_ = std::chrono::steady_clock::now();
                    h->signals_before_ = signals;
                }
                h->cut_short_ = signals != h->signals_before_;
                const bool stop = h->cut_short_;
                if (stop || std::chrono::steady_clock::now() - h->waiting_since_ >
                                std::chrono::duration<double>(h->limits_.timeout_s)) {
                    return 0;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return 1;
            },
            this);
    }
    ~SqliteHistory() override {
        forget_statements();
        sqlite3_close(db_);
    }

protected:
    bool execute(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                 std::string& error) override {
        const Prepared* p = prepared(sql);
        if (p == nullptr) return failed(error);
        for (std::size_t at = 0; at < p->slots.size(); ++at) {
            const std::size_t i = p->slots[at];
            const int slot = static_cast<int>(at) + 1;
            if (i < params.size() && params[i]) {
                sqlite3_bind_text(p->stmt, slot, params[i]->c_str(), -1, SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_null(p->stmt, slot);
            }
        }
        int step;
        while ((step = sqlite3_step(p->stmt)) == SQLITE_ROW) {
            if (rows == nullptr) continue;
            Row row;
            for (int c = 0; c < sqlite3_column_count(p->stmt); ++c) {
                const unsigned char* v = sqlite3_column_text(p->stmt, c);
                row.push_back(v ? Value(reinterpret_cast<const char*>(v)) : Value());
            }
            rows->push_back(std::move(row));
        }
        const bool ok = step == SQLITE_DONE || failed(error);
        sqlite3_reset(p->stmt);
        return ok;
    }
    // Takes the write lock at once, so that two writers never deadlock.
    bool begin(std::string& error) override {
        return execute("BEGIN IMMEDIATE", {}, nullptr, error);
    }
    const char* dialect() const override { return "sqlite"; }
    std::string type_of(const std::string& placeholder) const override {
        return placeholder == "{key}"    ? "INTEGER PRIMARY KEY"
               : placeholder == "{flag}" ? "INTEGER"
                                         : "TEXT";
    }
    std::string time_text(const std::string& column) const override { return column; }
    bool read_version(int& version, std::string& error) override {
        std::vector<Row> rows;
        if (!execute("PRAGMA user_version", {}, &rows, error)) return false;
        version = std::stoi(rows.at(0).at(0).value_or("0"));
        return true;
    }
    bool write_version(int version, std::string& error) override {
        return execute("PRAGMA user_version = " + std::to_string(version), {}, nullptr, error);
    }
    // SQLite finds a named parameter by walking the list of them, so that
    // compiling a statement costs the square of their number: once, as the
    // statement is kept.
    std::size_t most_parameters() const override { return 999; }
    bool last_failure_passes() const override {
        switch (last_code_ & 0xff) {
            case SQLITE_BUSY:
            case SQLITE_LOCKED:
            case SQLITE_IOERR:
            case SQLITE_FULL:
            case SQLITE_PROTOCOL:
            case SQLITE_INTERRUPT:
                return true;
            default:
                return false;
        }
    }

private:
    // A statement compiled once and kept for the next run of the same text:
    // a run writes the same few statements every time. Each slot's parameter
    // is found once, as SQLite names "$2" by the order of first use.
    struct Prepared {
        sqlite3_stmt* stmt = nullptr;
        std::vector<std::size_t> slots;  // the parameter (from 0) each slot takes
    };
    static constexpr std::size_t kKeptStatements = 256;

    const Prepared* prepared(const std::string& sql) {
        const auto found = statements_.find(sql);
        if (found != statements_.end()) return &found->second;
        Prepared p;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &p.stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(p.stmt);
            return nullptr;
        }
        for (int at = 1; at <= sqlite3_bind_parameter_count(p.stmt); ++at) {
            const char* name = sqlite3_bind_parameter_name(p.stmt, at);
            const std::size_t i = name && name[0] == '$' ? std::strtoul(name + 1, nullptr, 10) : 0;
            p.slots.push_back(i == 0 ? SIZE_MAX : i - 1);
        }
        if (statements_.size() >= kKeptStatements) forget_statements();
        return &statements_.emplace(sql, p).first->second;
    }
    void forget_statements() {
        for (auto& [sql, p] : statements_) sqlite3_finalize(p.stmt);
        statements_.clear();
    }

    bool failed(std::string& error) {
        last_code_ = sqlite3_extended_errcode(db_);
        error = sqlite3_errmsg(db_);
        if ((last_code_ & 0xff) == SQLITE_BUSY) {
            error += cut_short_ ? " (the wait was cut short by a signal)"
                                : " (another station held it past the time-out)";
        }
        return false;
    }

    sqlite3* db_;
    std::unordered_map<std::string, Prepared> statements_;
    HistoryLimits limits_;
    std::chrono::steady_clock::time_point waiting_since_;
    int signals_before_ = 0;
    bool cut_short_ = false;
    int last_code_ = SQLITE_OK;
};

// SQLite keeps nothing of these: an empty name is a temporary file.
bool keeps_nothing(const std::string& path) {
    return path.empty() || path == ":memory:" ||
           (path.rfind("file:", 0) == 0 && path.find("memory") != std::string::npos);
}

}  // namespace

std::unique_ptr<History> open_sqlite_history(const std::string& path, bool must_exist,
                                             const HistoryLimits& limits, std::string& error,
                                             HistoryFault& fault) {
    fault = HistoryFault::configuration;
    if (keeps_nothing(path)) {
        error = "\"" + path + "\" keeps nothing: name a file (or a postgresql:// URL)";
        return nullptr;
    }
    struct stat st;
    if (must_exist && stat(path.c_str(), &st) != 0) {
        error = path + ": no history there";
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot be opened");
        sqlite3_close(db);
        return nullptr;
    }
    auto history = std::make_unique<SqliteHistory>(db, limits);
    char* message = nullptr;
    // The change to WAL does not wait for another station that creates the
    // file at the same moment (as the boards of one station do): it is
    // tried again within the time-out, until a signal comes.
    const auto since = std::chrono::steady_clock::now();
    const int signals = limits.signals ? *limits.signals : 0;
    int rc;
    while ((rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, &message)) ==
               SQLITE_BUSY &&
           std::chrono::steady_clock::now() - since <
               std::chrono::duration<double>(limits.timeout_s) &&
           (limits.signals ? *limits.signals : 0) == signals) {
        sqlite3_free(message);
        message = nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (rc != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA foreign_keys = ON", nullptr, nullptr, &message) != SQLITE_OK) {
        error = path + ": " + (message ? message : "cannot be used");
        const int code = sqlite3_extended_errcode(db) & 0xff;
        if (code == SQLITE_BUSY || code == SQLITE_LOCKED) fault = HistoryFault::unavailable;
        sqlite3_free(message);
        return nullptr;
    }
    fault = HistoryFault::none;
    return history;
}
