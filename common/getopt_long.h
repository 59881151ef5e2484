// Short and long command-line options, parsed in place. Kept in its own
// namespace so that it never clashes with the C library's parser of that name.
#pragma once

namespace cmdline {

// One row of a long-option table; a row with a null name ends the table.
struct option_record {
    const char* name;  // without the leading "--"
    int has_arg;       // 0 none, 1 required, 2 optional; any other value as 0
    int* flag;         // when non-null, val is stored here and the result is 0
    int val;
};

extern char* optarg;    // argument of the option just returned
extern int optind;      // next element to scan; at the end, the first operand
extern int opterr;      // messages are printed only while nonzero
extern int optopt;      // short option character last examined
extern int optrestart;  // set nonzero to start a fresh scan at optind

// Returns the next option from argv, moving the options in front of the
// operands passed over, or -1 at the end.
int getopt_long(int argc, char* argv[], const char* optstring, const option_record* longopts,
                int* longindex);

}  // namespace cmdline
