// The books a history keeps as the runs land, in the same transaction as the
// run: each measurement's series (its latest units and limits, and the run
// rules' state), its points in landing order with their moving range and
// EWMA, its figures by day, and every alarm its rules raise. What the
// summary reads instead of the runs, so that its cost does not grow with
// them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "history.h"
#include "running_figures.h"
#include "series_state.h"

// One measurement of a run that landed, as its step's deciding attempt took it.
struct LandedValue {
    std::string step, name, units;
    std::optional<double> value;
    Verdict verdict = Verdict::pass;
    Limits limits;
};

// A run that ended, neither running nor aborted, and its landing.
struct Landing {
    std::string run_id, started, sequence;
    std::uint64_t landed = 0;
    std::vector<LandedValue> values;
};

// The day a run's figures are kept under: the date it started, UTC.
std::string day_of(const std::string& started);

// The columns a stretch is kept in (no other table of the books has columns
// of these names), and a stretch read back from them, from column `at` of a
// row on.
constexpr const char* kStretchColumns =
    "runs, marginal, failed, n, mean, root_m2, min, max, mr_mean, mr_count, first_value, "
    "last_value";
Stretch stretch_of(const std::vector<std::optional<std::string>>& row, std::size_t at);

// The books of one transaction: what it touches is read once, kept, and
// written back by flush().
class Books {
public:
    explicit Books(History& history) : history_(history) {}

    // Takes a run's measurements into the books; the alarms raised at the
    // run itself go into `raised`.
    bool land(const Landing& landing, std::vector<RunAlarm>* raised, std::string& error);
    bool flush(std::string& error);

private:
    struct Series {
        std::string id, sequence, step, name, units;
        Limits limits;
        SeriesState state;
        Stretch total;  // the whole history, in landing order
        bool dirty = false;
    };
    struct Day {
        Stretch stretch;
        bool dirty = false;
    };
    using Row = std::vector<std::optional<std::string>>;

    bool series_of(const std::string& sequence, const LandedValue& v, Series*& out,
                   std::string& error);
    bool day_of_series(const Series& s, const std::string& day, Day*& out, std::string& error);

    History& history_;
    std::map<std::tuple<std::string, std::string, std::string>, Series> series_;
    std::set<std::string> sequences_read_;
    std::map<std::pair<std::string, std::string>, Day> days_;  // (series id, day)
    std::set<std::pair<std::string, std::string>> days_read_;  // (sequence, day)
    std::vector<Row> points_, earlier_ewma_, alarms_;
};
