#include "running_figures.h"

#include <algorithm>
#include <cmath>

namespace {

// A running mean of `count` values that takes the next, in long double.
double mean_with(double mean, std::uint64_t count, long double next) {
    return static_cast<double>(mean + (next - mean) / static_cast<long double>(count));
}

}  // namespace

void Moments::add(double x) {
    Moments one;
    one.n = 1;
    one.mean = one.min = one.max = x;
    join(one);
}

void Moments::join(const Moments& o) {
    if (o.n == 0) return;
    if (n == 0) {
        *this = o;
        return;
    }
    const long double na = n, nb = o.n, total = na + nb;
    const long double delta = static_cast<long double>(o.mean) - mean;
    const long double m2 = static_cast<long double>(root_m2) * root_m2 +
                           static_cast<long double>(o.root_m2) * o.root_m2 +
                           delta * delta * na * nb / total;
    mean = static_cast<double>(mean + delta * nb / total);
    root_m2 = static_cast<double>(std::sqrt(m2));
    min = std::min(min, o.min);
    max = std::max(max, o.max);
    n += o.n;
}

std::optional<double> Moments::sd() const {
    if (n < 2) return {};
    return static_cast<double>(static_cast<long double>(root_m2) /
                               std::sqrt(static_cast<long double>(n - 1)));
}

void Stretch::add(std::optional<double> value, Verdict verdict) {
    ++runs;
    marginal += verdict == Verdict::marginal;
    failed += verdict == Verdict::fail || verdict == Verdict::error;
    if (!value) return;
    if (values.n == 0) {
        first = *value;
    } else {
        mr_mean =
            mean_with(mr_mean, ++mr_count, std::fabs(static_cast<long double>(*value) - last));
    }
    last = *value;
    values.add(*value);
}

void Stretch::append(const Stretch& next) {
    runs += next.runs;
    marginal += next.marginal;
    failed += next.failed;
    if (next.values.n == 0) return;
    if (values.n == 0) {
        const std::uint64_t r = runs, m = marginal, f = failed;
        *this = next;
        runs = r, marginal = m, failed = f;
        return;
    }
    // The ranges within each, and the one where they meet, as one mean.
    const long double meet = std::fabs(static_cast<long double>(next.first) - last);
    const long double sum = static_cast<long double>(mr_mean) * mr_count +
                            static_cast<long double>(next.mr_mean) * next.mr_count + meet;
    mr_count += next.mr_count + 1;
    mr_mean = static_cast<double>(sum / static_cast<long double>(mr_count));
    last = next.last;
    values.join(next.values);
}
