// Numbers as the suite reads them from people and programs alike: one way
// everywhere, so that what an option takes a measure takes too.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A number as the suite writes it for people: ten significant digits, as
// printf's %.10g gives them.
std::string decimal_text(double v);

// The number `text` holds: a sign, decimal digits with at most one point and
// a decimal exponent, finite and representable (no hex, no "inf" or "nan",
// no underflow to zero, nothing before or after); none otherwise.
std::optional<double> decimal_number(std::string_view text);

// `value` with `decimals` decimals (and a sign with `sign`), as printf's %.*f
// gives it, but never "-0": a value that rounds to zero reads as zero.
std::string fixed(double value, int decimals, bool sign = false);
