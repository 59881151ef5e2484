// A history for a test: a SQLite file in the test's folder, or a database of
// its own on the PostgreSQL server ORLIX_TEST_PG_URL names, dropped at the
// end; and plain queries on either.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

// The same URL with another database.
inline std::string with_database(const std::string& url, const std::string& name) {
    const std::size_t authority = url.find("://") + 3;
    const std::size_t slash = url.find('/', authority);
    const std::size_t query = url.find('?', authority);
    if (slash == std::string::npos || (query != std::string::npos && slash > query)) {
        return url.substr(0, query) + "/" + name +
               (query == std::string::npos ? "" : url.substr(query));
    }
    return url.substr(0, slash + 1) + name + (query == std::string::npos ? "" : url.substr(query));
}

inline Rows pg_query(const std::string& url, const std::string& sql) {
    Rows rows;
    PGconn* conn = PQconnectdb(url.c_str());
    EXPECT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << PQresultErrorMessage(r);
    for (int i = 0; i < PQntuples(r); ++i) {
        rows.emplace_back();
        for (int c = 0; c < PQnfields(r); ++c) {
            rows.back().push_back(PQgetisnull(r, i, c)
                                      ? std::nullopt
                                      : std::optional<std::string>(PQgetvalue(r, i, c)));
        }
    }
    PQclear(r);
    PQfinish(conn);
    return rows;
}

inline Rows sqlite_query(const std::string& path, const std::string& sql) {
    Rows rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int n, char** values, char**) {
            auto* r = static_cast<Rows*>(out);
            r->emplace_back();
            for (int c = 0; c < n; ++c) {
                r->back().push_back(values[c] ? std::optional<std::string>(values[c])
                                              : std::nullopt);
            }
            return 0;
        },
        &rows, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    return rows;
}

// A history target for one test; skips the test when it needs a server and
// none is named.
class HistoryTarget {
public:
    // Opens one for `store` ("sqlite" or "postgres"); check skipped() after.
    HistoryTarget(const std::string& store, const std::filesystem::path& folder)
        : server_(store == "postgres") {
        if (!server_) {
            target_ = (folder / "station.sqlite").string();
            return;
        }
        const char* url = std::getenv("ORLIX_TEST_PG_URL");
        if (url == nullptr || *url == '\0') {
            skipped_ = true;
            return;
        }
        static std::atomic<int> databases{0};
        base_ = url;
        name_ = "orlix_" + std::to_string(getpid()) + "_" + std::to_string(++databases);
        pg_query(base_, "CREATE DATABASE " + name_);
        target_ = with_database(base_, name_);
    }
    ~HistoryTarget() {
        if (!name_.empty()) pg_query(base_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    }
    HistoryTarget(const HistoryTarget&) = delete;
    HistoryTarget& operator=(const HistoryTarget&) = delete;

    bool skipped() const { return skipped_; }
    bool server() const { return server_; }
    const std::string& target() const { return target_; }
    Rows query(const std::string& sql) const {
        return server_ ? pg_query(target_, sql) : sqlite_query(target_, sql);
    }

private:
    bool server_;
    bool skipped_ = false;
    std::string target_, base_, name_;
};

}  // namespace test_support
