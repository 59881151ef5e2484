// What the summary needs of a measurement, kept a value at a time as the
// runs land and joined over any stretch of them: moments that no value can
// overflow, moving ranges that join across stretches, and counts.
#pragma once

#include <cstdint>
#include <optional>

#include "verdict.h"

// The count, mean and spread of values, kept a value at a time (Welford's
// method) and joined (Chan's): the spread is the root of the sum of squared
// deviations, worked in long double, so that values up to the largest double
// neither overflow nor lose the spread of values close together.
struct Moments {
    std::uint64_t n = 0;
    double mean = 0;
    double root_m2 = 0;
    double min = 0, max = 0;

    void add(double x);
    // Joins the values of `other` (in any order: moments do not care).
    void join(const Moments& other);
    // The sample standard deviation; none below two values. Not finite where
    // the values are too far apart for a double.
    std::optional<double> sd() const;
};

// One stretch of a measurement's values, in the order the runs landed.
struct Stretch {
    std::uint64_t runs = 0;                  // runs that measured it, with a value or none
    std::uint64_t marginal = 0, failed = 0;  // FAIL and ERROR fail
    Moments values;
    // The moving ranges |x[i] - x[i-1]| within the stretch: their mean and
    // count; and its first and last value, by which stretches join.
    double mr_mean = 0;
    std::uint64_t mr_count = 0;
    double first = 0, last = 0;

    void add(std::optional<double> value, Verdict verdict);
    // Joins the stretch that follows this one: the moving range between the
    // two counts too.
    void append(const Stretch& next);
};
