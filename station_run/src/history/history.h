// The history of every run of a station, or of a fleet of them: one interface
// with two stores behind it, a SQLite file (a station's own) and a PostgreSQL
// server (shared by many stations). The schema, its upgrades and the queries
// are the same for both, but for the types a store has (times and flags); a
// store only runs statements.
#pragma once

#include <signal.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "record/run_record.h"

// Version 1: runs, attempts, measurements. Version 2: the suite's version of
// a run, which attempt decided its step, and indexes for the summary.
// Version 3: times and flags in the server's own types, verdicts checked
// against their list, an index for a measurement across runs, and the view
// measurement_history.
constexpr int kHistoryVersion = 3;

struct SummaryFilter {
    std::string since;     // runs started at or after this UTC time (the record's form)
    std::string sequence;  // of this sequence
    std::string serial;    // of this board
};

// A measurement's totals over the deciding attempts of the runs: sums taken
// from `origin`, the smallest value, so that the spread stays exact when the
// values are large and close together.
struct MeasurementTotals {
    std::string sequence, step, name, units;  // units and limits: the latest run's
    std::size_t runs = 0, count = 0;          // runs, and the values among them
    double sum = 0, squares = 0;              // of value - origin
    std::optional<double> origin, min, max, low, high;
    std::size_t marginal = 0, failed = 0;               // FAIL and ERROR fail
    std::optional<double> marginal_low, marginal_high;  // the latest run's
    // |x[i] - x[i-1]| over the values in the order of their runs' starts.
    double moving_range_sum = 0;
    std::size_t moving_ranges = 0;
};

// One board's value of a measurement, and the run it came from.
struct SeriesPoint {
    double value;
    std::string serial, started;  // the run's
};

struct HistoryRun {
    std::string serial, station, sequence, started, verdict, folder;
};

// How long the history may keep station_run waiting, and what ends a wait:
// a termination signal that comes while it waits (one that came before, the
// run's abort, lets the history still keep the run).
struct HistoryLimits {
    double timeout_s = 15;  // connecting, a statement, a lock held by another station
    int stop_fd = -1;       // readable when a termination signal came
    const volatile sig_atomic_t* signals = nullptr;  // how many came so far
};

// Why a history cannot be used: a target that is no history is the
// station's configuration at fault; one that cannot be reached now may be
// written later.
enum class HistoryFault { none, configuration, unavailable };

class History {
public:
    virtual ~History() = default;

    // "postgresql://..." (or "postgres://...") names a server; anything else a
    // SQLite file, made when missing unless `must_exist`. The schema is made,
    // or an older one upgraded in place. No password appears in `error`.
    static std::unique_ptr<History> open(const std::string& target, bool must_exist,
                                         const HistoryLimits& limits, std::string& error,
                                         HistoryFault& fault);

    // The target as a record names it: a file's absolute path, a server's URL
    // without its password.
    static std::string shown_target(const std::string& target);

    // The run's row, marked RUNNING, so that a killed station leaves it seen
    // unfinished; a resumed run finds its row again.
    bool begin_run(const RunRecord& run, std::string& error);
    // The whole run in one transaction: its row, its attempts and measurements.
    bool end_run(const RunRecord& run, std::string& error);

    // The totals of each measurement of the runs that ended (neither running
    // nor aborted), by sequence, step and name; the store adds them up.
    bool totals(const SummaryFilter& filter, std::vector<MeasurementTotals>& out,
                std::string& error);
    // Each measurement's values in the order of their runs' starts (of the
    // runs that count in the totals).
    bool series(const SummaryFilter& filter, const std::string& sequence, const std::string& step,
                const std::string& name, const std::string& since, std::vector<SeriesPoint>& out,
                std::string& error);
    // The last `limit` runs, the latest first; with `verdict`, only those.
    bool last_runs(const SummaryFilter& filter, int limit, const std::string& verdict,
                   std::vector<HistoryRun>& out, std::string& error);

protected:
    using Value = std::optional<std::string>;
    using Row = std::vector<Value>;

    // One statement with parameters $1, $2, ...; its rows as text, when asked.
    virtual bool execute(const std::string& sql, const std::vector<Value>& params,
                         std::vector<Row>* rows, std::string& error) = 0;
    // Starts a transaction that writes.
    virtual bool begin(std::string& error) = 0;
    // "sqlite" or "postgres": which of an upgrade's statements are the store's.
    virtual const char* dialect() const = 0;
    // The store's types for {key} (a column of keys it makes), {time} and {flag}.
    virtual std::string type_of(const std::string& placeholder) const = 0;
    // A time column as the record writes times.
    virtual std::string time_text(const std::string& column) const = 0;
    virtual bool read_version(int& version, std::string& error) = 0;
    virtual bool write_version(int version, std::string& error) = 0;
    // Whether the last failure may pass: a lock, a server that did not answer.
    virtual bool last_failure_passes() const = 0;

    // Makes or upgrades the schema, in one transaction.
    bool prepare(std::string& error, HistoryFault& fault);

private:
    // The statement with {key}, {time} and {flag} in the store's types.
    std::string in_store_types(std::string sql) const;
    // Runs `sql` with its parameters as valid UTF-8.
    bool run(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
             std::string& error);
    bool run_id(const RunRecord& run, std::string& id, std::string& error);
    bool statements(const std::vector<std::string>& sql, std::string& error);
    bool commit_or_roll_back(bool ok, std::string& error);
};

// The two stores.
std::unique_ptr<History> open_sqlite_history(const std::string& path, bool must_exist,
                                             const HistoryLimits& limits, std::string& error,
                                             HistoryFault& fault);
std::unique_ptr<History> open_postgres_history(const std::string& url, const HistoryLimits& limits,
                                               std::string& error);
