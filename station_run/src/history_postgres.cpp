// The history on a PostgreSQL server, shared by a fleet of stations.
#include <libpq-fe.h>

#include "history.h"

namespace {

class PostgresHistory : public History {
public:
    explicit PostgresHistory(PGconn* conn) : conn_(conn) {}
    ~PostgresHistory() override { PQfinish(conn_); }

protected:
    bool execute(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                 std::string& error) override {
        std::vector<const char*> values;
        for (const Value& v : params) values.push_back(v ? v->c_str() : nullptr);
        PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                        nullptr, values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok) {
            error = PQresultErrorMessage(result);
            while (!error.empty() && error.back() == '\n') error.pop_back();
        } else if (rows != nullptr) {
            for (int r = 0; r < PQntuples(result); ++r) {
                Row row;
                for (int c = 0; c < PQnfields(result); ++c) {
                    row.push_back(PQgetisnull(result, r, c) ? Value()
                                                            : Value(PQgetvalue(result, r, c)));
                }
                rows->push_back(std::move(row));
            }
        }
        PQclear(result);
        return ok;
    }
    // Writers take turns, also while a schema is made or upgraded.
    bool begin(std::string& error) override {
        return execute("BEGIN", {}, nullptr, error) &&
               execute("SELECT pg_advisory_xact_lock(7421061)", {}, nullptr, error);
    }
    std::string key_column() const override { return "BIGSERIAL PRIMARY KEY"; }
    bool read_version(int& version, std::string& error) override {
        std::vector<Row> rows;
        if (!execute("CREATE TABLE IF NOT EXISTS history_schema (version INTEGER NOT NULL)", {},
                     nullptr, error) ||
            !execute("SELECT version FROM history_schema", {}, &rows, error)) {
            return false;
        }
        version = rows.empty() ? 0 : std::stoi(rows[0][0].value_or("0"));
        return true;
    }
    bool write_version(int version, std::string& error) override {
        return execute("DELETE FROM history_schema", {}, nullptr, error) &&
               execute("INSERT INTO history_schema (version) VALUES ($1)",
                       {std::to_string(version)}, nullptr, error);
    }

private:
    PGconn* conn_;
};

}  // namespace

std::unique_ptr<History> open_postgres_history(const std::string& url, std::string& error) {
    PGconn* conn = PQconnectdb(url.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        error = PQerrorMessage(conn);
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        error = "cannot reach the history server: " + error;
        PQfinish(conn);
        return nullptr;
    }
    // Notices ("relation already exists, skipping") are not for the operator.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return std::make_unique<PostgresHistory>(conn);
}
