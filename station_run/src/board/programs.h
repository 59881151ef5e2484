// The programs a board's steps run: found beside station_run, from the
// working folder or on PATH, with their arguments filled in; and the
// installed default sequence, found beside station_run too.
#pragma once

#include <string>

#include "board_run.h"
#include "record/run_record.h"
#include "sequence/sequence.h"

// This program's own folder: its sibling programs and its data are found from it.
std::string own_folder();

// A program named with a folder, from the working folder; a bare name beside
// station_run first, then on PATH. An absolute path, or empty when nowhere.
std::string find_program(const std::string& name);

// Every step's program is there: named in the sequence, or for a resumed
// run as its record names it. False after a message.
bool programs_found(const Sequence& sequence, const RunRecord* resumed);

// A step's argument with {device}, {image}, {output} and {expected_tone}
// filled in.
std::string substituted(std::string arg, const RunRecord& run, const std::string& expected_tone);

// The sequence file a new run follows, made absolute.
std::string sequence_file_of(const NewBoardRun& run);
