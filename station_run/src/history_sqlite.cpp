// The history in a SQLite file: a station's own. WAL and a busy timeout let
// several station_run processes on one station write to it at once.
#include <sqlite3.h>
#include <sys/stat.h>

#include "history.h"

namespace {

class SqliteHistory : public History {
public:
    explicit SqliteHistory(sqlite3* db) : db_(db) {}
    ~SqliteHistory() override { sqlite3_close(db_); }

protected:
    bool execute(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                 std::string& error) override {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        // "$2" is a name to SQLite, numbered in the order of first use.
        for (std::size_t i = 0; i < params.size(); ++i) {
            std::string name = "$";
            name += std::to_string(i + 1);
            const int at = sqlite3_bind_parameter_index(stmt, name.c_str());
            if (at == 0) continue;
            if (params[i]) {
                sqlite3_bind_text(stmt, at, params[i]->c_str(), -1, SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_null(stmt, at);
            }
        }
        int step;
        while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (rows == nullptr) continue;
            Row row;
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const unsigned char* v = sqlite3_column_text(stmt, c);
                row.push_back(v ? Value(reinterpret_cast<const char*>(v)) : Value());
            }
            rows->push_back(std::move(row));
        }
        const bool ok = step == SQLITE_DONE;
        if (!ok) error = sqlite3_errmsg(db_);
        sqlite3_finalize(stmt);
        return ok;
    }
    // Takes the write lock at once, so that two writers never deadlock.
    bool begin(std::string& error) override {
        return execute("BEGIN IMMEDIATE", {}, nullptr, error);
    }
    std::string key_column() const override { return "INTEGER PRIMARY KEY"; }
    bool read_version(int& version, std::string& error) override {
        std::vector<Row> rows;
        if (!execute("PRAGMA user_version", {}, &rows, error)) return false;
        version = std::stoi(rows.at(0).at(0).value_or("0"));
        return true;
    }
    bool write_version(int version, std::string& error) override {
        return execute("PRAGMA user_version = " + std::to_string(version), {}, nullptr, error);
    }

private:
    sqlite3* db_;
};

}  // namespace

std::unique_ptr<History> open_sqlite_history(const std::string& path, bool must_exist,
                                             std::string& error) {
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
    auto history = std::make_unique<SqliteHistory>(db);
    sqlite3_busy_timeout(db, 60'000);
    char* message = nullptr;
    if (sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, &message) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA foreign_keys = ON", nullptr, nullptr, &message) != SQLITE_OK) {
        error = path + ": " + (message ? message : "cannot be used");
        sqlite3_free(message);
        return nullptr;
    }
    return history;
}
