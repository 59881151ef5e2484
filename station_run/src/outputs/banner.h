// A verdict in letters large enough to read across a bench.
#pragma once

#include <string>

// `word` (capitals) in letters five lines high, each line ending in '\n';
// a letter it has no shape for is left as a gap.
std::string banner_text(const std::string& word);
