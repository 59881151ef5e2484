// The history on a PostgreSQL server, shared by a fleet of stations. Every
// wait on the server is bounded by the time-out and ends at a termination
// signal: a server that stalls never stalls the station.
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>

#include "history.h"

namespace {

using Clock = std::chrono::steady_clock;

// The password a URL holds, in the user part or a password= parameter, as
// written and decoded; empty when none.
std::vector<std::string> passwords_in(const std::string& url) {
    std::vector<std::string> out;
    const std::size_t authority = url.find("://") + 3;
    const std::size_t end = std::min(url.find_first_of("/?", authority), url.size());
    const std::size_t at = url.rfind('@', end);
    const std::size_t colon = url.find(':', authority);
    if (at != std::string::npos && at >= authority && colon < at) {
        out.push_back(url.substr(colon + 1, at - colon - 1));
    }
    for (std::size_t p = url.find("password=", end); p != std::string::npos;
         p = url.find("password=", p + 1)) {
        if (url[p - 1] == '?' || url[p - 1] == '&') {
            out.push_back(url.substr(p + 9, std::min(url.find('&', p), url.size()) - p - 9));
        }
    }
    const std::size_t written = out.size();
    for (std::size_t i = 0; i < written; ++i) {
        std::string decoded;
        const std::string& w = out[i];
        for (std::size_t k = 0; k < w.size(); ++k) {
            if (w[k] == '%' && k + 2 < w.size() &&
                std::isxdigit(static_cast<unsigned char>(w[k + 1])) &&
                std::isxdigit(static_cast<unsigned char>(w[k + 2]))) {
                decoded += static_cast<char>(std::stoi(w.substr(k + 1, 2), nullptr, 16));
                k += 2;
            } else {
                decoded += w[k];
            }
        }
        out.push_back(decoded);
    }
    std::erase_if(out, [](const std::string& p) { return p.empty(); });
    return out;
}

// A message with every trace of the password taken out.
std::string redacted(std::string message, const std::vector<std::string>& passwords) {
    for (const std::string& p : passwords) {
        for (std::size_t at = message.find(p); at != std::string::npos; at = message.find(p, at)) {
            message.replace(at, p.size(), "*****");
        }
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

// Waits until the server's socket is ready, the time runs out or a
// termination signal comes; false with a reason for the last two.
bool wait_for(PGconn* conn, bool writing, Clock::time_point until, const HistoryLimits& limits,
              int signals_before, std::string& error) {
    for (;;) {
        if (limits.signals != nullptr && *limits.signals != signals_before) {
            error = "the wait for the history server was cut short by a signal";
            return false;
        }
        const auto now = Clock::now();
        if (now >= until) {
            error = "the history server did not answer within " +
                    std::to_string(static_cast<int>(limits.timeout_s + 0.5)) + " s";
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        pollfd fds[2] = {{PQsocket(conn), static_cast<short>(writing ? POLLOUT : POLLIN), 0},
                         {limits.stop_fd, POLLIN, 0}};
        const int n = poll(fds, 2, static_cast<int>(std::min<long>(left.count() + 1, 1000)));
        if (n > 0 && fds[0].revents != 0) return true;
        char drained[64];
        if (fds[1].revents != 0) {
            while (read(limits.stop_fd, drained, sizeof drained) > 0) {
            }
        }
    }
}

class PostgresHistory : public History {
public:
    PostgresHistory(PGconn* conn, const HistoryLimits& limits, std::vector<std::string> passwords)
        : conn_(conn), limits_(limits), passwords_(std::move(passwords)) {}
    ~PostgresHistory() override { PQfinish(conn_); }

    // The server ends a statement of its own that runs past the time-out.
    bool limit_statements(std::string& error) {
        return execute("SET statement_timeout = " +
                           std::to_string(static_cast<long>(limits_.timeout_s * 1000)),
                       {}, nullptr, error);
    }

protected:
    bool execute(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                 std::string& error) override {
        passes_ = true;
        if (broken_) {
            error = broken_reason_;
            return false;
        }
        std::vector<const char*> values;
        for (const Value& v : params) values.push_back(v ? v->c_str() : nullptr);
        const int signals = limits_.signals ? *limits_.signals : 0;
        const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(limits_.timeout_s));
        if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0) != 1) {
            error = redacted(PQerrorMessage(conn_), passwords_);
            return false;
        }
        for (int pending; (pending = PQflush(conn_)) != 0;) {
            if (pending < 0 || !wait_for(conn_, true, until, limits_, signals, error)) {
                return broke(error);
            }
        }
        bool ok = true;
        for (;;) {
            while (PQisBusy(conn_)) {
                if (!wait_for(conn_, false, until, limits_, signals, error)) return broke(error);
                if (PQconsumeInput(conn_) != 1) {
                    error = redacted(PQerrorMessage(conn_), passwords_);
                    return broke(error);
                }
            }
            PGresult* result = PQgetResult(conn_);
            if (result == nullptr) break;
            const ExecStatusType status = PQresultStatus(result);
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                if (ok) error = redacted(PQresultErrorMessage(result), passwords_);
                ok = false;
                passes_ = false;
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
        }
        return ok;
    }
    // Writers take turns, also while a schema is made or upgraded.
    bool begin(std::string& error) override {
        return execute("BEGIN", {}, nullptr, error) &&
               execute("SELECT pg_advisory_xact_lock(7421061)", {}, nullptr, error);
    }
    const char* dialect() const override { return "postgres"; }
    std::string type_of(const std::string& placeholder) const override {
        return placeholder == "{key}"    ? "BIGSERIAL PRIMARY KEY"
               : placeholder == "{flag}" ? "boolean"
                                         : "timestamptz";
    }
    std::string time_text(const std::string& column) const override {
        return "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
    }
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
    bool last_failure_passes() const override { return passes_; }
    // Under the protocol's limit of 65,535: few round trips.
    std::size_t most_parameters() const override { return 30000; }

private:
    // A connection whose answer never came is in no known state: it is not
    // used again.
    bool broke(const std::string& error) {
        broken_ = true;
        broken_reason_ = error;
        passes_ = true;
        return false;
    }

    PGconn* conn_;
    HistoryLimits limits_;
    std::vector<std::string> passwords_;
    bool broken_ = false;
    bool passes_ = true;
    std::string broken_reason_;
};

}  // namespace

std::unique_ptr<History> open_postgres_history(const std::string& url, const HistoryLimits& limits,
                                               std::string& error) {
    const std::vector<std::string> passwords = passwords_in(url);
    // Keepalives find a server that went away; the time-outs below, one that stalls.
    const char* keys[] = {"dbname",           "keepalives",
                          "keepalives_idle",  "keepalives_interval",
                          "keepalives_count", nullptr};
    const char* values[] = {url.c_str(), "1", "10", "5", "3", nullptr};
    PGconn* conn = PQconnectStartParams(keys, values, 1);
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(limits.timeout_s));
    const int signals = limits.signals ? *limits.signals : 0;
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (conn != nullptr && PQstatus(conn) != CONNECTION_BAD && polling != PGRES_POLLING_OK &&
           polling != PGRES_POLLING_FAILED) {
        if (!wait_for(conn, polling == PGRES_POLLING_WRITING, until, limits, signals, error)) {
            error = "cannot reach the history server: " + redacted(error, passwords);
            PQfinish(conn);
            return nullptr;
        }
        polling = PQconnectPoll(conn);
    }
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        error = "cannot reach the history server: " +
                redacted(conn ? PQerrorMessage(conn) : "out of memory", passwords);
        PQfinish(conn);
        return nullptr;
    }
    PQsetnonblocking(conn, 1);
    // Notices ("relation already exists, skipping") are not for the operator.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    auto history = std::make_unique<PostgresHistory>(conn, limits, passwords);
    if (!history->limit_statements(error)) {
        error = "cannot use the history server: " + error;
        return nullptr;
    }
    return history;
}
