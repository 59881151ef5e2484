// What capture_inspect makes of the figures: the report a person reads, the
// JSON a rig parses, the SigMF description and the picture.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "checks.h"
#include "figures.h"

struct Inspection {
    std::string name;  // the capture's path, valid UTF-8 for showing
    double rate;
    double frequency;
    std::optional<double> expected_tone_hz;
    CaptureFigures figures;
    std::vector<Check> checks;
    bool passed;
};

// True when `text` is valid UTF-8.
bool valid_utf8(const std::string& text);
// `text` with each byte that is not valid UTF-8 replaced by U+FFFD.
std::string shown_utf8(const std::string& text);

void print_report(const Inspection& inspection);
std::string json_report(const Inspection& inspection);

// SigMF metadata for the capture; `dataset` names it for a non-conforming
// dataset, and is empty for NAME.sigmf-data beside NAME.sigmf-meta.
std::string sigmf_metadata(const Inspection& inspection, const std::string& dataset,
                           const std::string& sha512);

// Where the SigMF metadata of the capture at `path` goes: NAME.sigmf-meta for
// NAME.sigmf-data, a conforming dataset; else the capture's stem with that
// extension, and `dataset` names the capture for a non-conforming one.
std::string sigmf_meta_path(const std::string& path, std::string& dataset);

// Draws the spectrum above the first samples with gnuplot into a PNG held in
// memory. False with the reason (gnuplot's own words where it has them).
bool draw_picture(const std::string& gnuplot, const Inspection& inspection, std::string& png,
                  std::string& why);

// True for a PNG that is complete: its signature, a header chunk first and
// every chunk whole through the closing one, which ends the data.
bool whole_png(const std::string& png);
