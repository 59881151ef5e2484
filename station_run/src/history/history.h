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
#include "running_figures.h"

class Books;

// Version 1: runs, attempts, measurements. Version 2: the suite's version of
// a run, which attempt decided its step, and indexes for the summary.
// Version 3: times and flags in the server's own types, verdicts checked
// against their list, an index for a measurement across runs, and the view
// measurement_history. Version 4: the order runs landed in, and the books
// kept as they land: each measurement's series, its points, its figures by
// day and the alarms its run rules raised.
constexpr int kHistoryVersion = 4;

struct SummaryFilter {
    std::string since;     // runs started at or after this UTC time (the record's form)
    std::string sequence;  // of this sequence
    std::string serial;    // of this board
};

// A measurement's figures over the runs a filter takes, from the books: its
// values as one stretch in landing order; the units and limits of its
// latest run; the run rules' state, which holds the chart.
struct MeasurementTotals {
    std::string series_id, sequence, step, name, units;
    std::optional<double> low, high, marginal_low, marginal_high;
    Stretch stretch;
    std::string state;
};

// One board's value of a measurement, and what the books keep with it.
struct SeriesPoint {
    double value;
    std::string serial, started;  // the run's
    std::optional<double> moving_range, ewma;
    std::uint64_t landed = 0;
};

// An alarm a run rule raised, at the run it names.
struct SeriesAlarm {
    std::string rule, serial, started;
    std::uint64_t landed = 0;
    std::size_t span = 1;  // the points that made it fire, back from this one
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
    // The whole run in one transaction: its row, its attempts and
    // measurements, and the books kept of them; the run rules its
    // measurements broke go into `raised`.
    bool end_run(const RunRecord& run, std::string& error, std::vector<RunAlarm>* raised = nullptr);
    // Runs not yet in the history, written in one transaction in their order,
    // many rows a statement: an import of many at once.
    bool end_runs(const std::vector<RunRecord>& runs, std::string& error);
    // The books of every measurement recomputed from the runs, as an upgrade
    // makes them.
    bool rebuild_books(std::string& error);

    // The figures of each measurement of the runs that ended (neither
    // running nor aborted) that the filter takes, by sequence, step and name:
    // from the books by day, and the runs themselves only for the day a
    // --since falls in or one board's runs.
    bool totals(const SummaryFilter& filter, std::vector<MeasurementTotals>& out,
                std::string& error);
    // A series' points in landing order: those of the runs started from
    // `since`, or without it the latest `latest`; of one board with the
    // filter's serial.
    bool points(const SummaryFilter& filter, const std::string& series_id, const std::string& since,
                std::size_t latest, std::vector<SeriesPoint>& out, std::string& error);
    // A series' latest `limit` alarms, the latest first; with `from`, only
    // those at runs that landed at `from` or after; with `control_only`, only
    // those of the rules that decide control.
    bool alarms(const std::string& series_id, std::size_t limit, std::optional<std::uint64_t> from,
                bool control_only, std::vector<SeriesAlarm>& out, std::string& error);
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
    // The parameters one statement of many rows takes at most.
    virtual std::size_t most_parameters() const = 0;

    // Makes or upgrades the schema, in one transaction.
    bool prepare(std::string& error, HistoryFault& fault);

private:
    friend class Books;
    // The run's rows, its attempts and measurements; `id` its row's.
    bool write_run(const RunRecord& run, std::string& id, std::string& error);
    // A finished run's landing and its place in the books.
    bool land(const RunRecord& run, const std::string& id, Books& books,
              std::vector<RunAlarm>* raised, std::string& error);
    // Rows of `columns` values each, in as few statements as the stores
    // allow; `tail` follows the values (an ON CONFLICT clause).
    bool insert_rows(const std::string& head, std::size_t columns, const std::vector<Row>& rows,
                     const std::string& tail, std::string& error);
    // The books made anew from the runs, in the transaction open.
    bool rebuild(std::string& error);
    bool books_stale_ = false;  // a landed run was written again, other than it was
    // What the books take of a landed run (its deciding attempts'
    // measurements) as the history holds it, found by `where` on runs r.
    bool landed_values(const std::string& where, const std::vector<Value>& params,
                       std::vector<Row>& out, std::string& error);
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
