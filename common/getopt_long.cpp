#include "getopt_long.h"

#include <cstdio>
#include <cstring>

namespace cmdline {

char* optarg = nullptr;
int optind = 1;
int opterr = 1;
int optopt = 0;
int optrestart = 0;

namespace {

char empty_text[1] = "";
char* scan_pos = empty_text;  // next character of the current cluster; empty: start afresh
int elem_start = 0;           // index of the element being read
int elem_next = 0;            // just past that element and any argument taken after it

const char* program_name(int argc, char* argv[]) {
    return argc > 0 && argv[0] != nullptr ? argv[0] : "";
}

bool is_operand(const char* element) {
    return element[0] != '-' || element[1] == '\0';
}

// The element after the current one, or null when there is none to take.
char* following_element(int argc, char* argv[]) {
    return elem_start < argc - 1 ? argv[elem_start + 1] : nullptr;
}

// Moves the consumed element (and its argument) in front of the operands
// passed over, keeping both groups in order, and steps optind past them.
int finish_element(char* argv[], int result) {
    scan_pos = empty_text;
    const int consumed = elem_next - elem_start;
    for (int n = 0; n < consumed; ++n) {
        char* taken = argv[elem_next - 1];
        for (int i = elem_next - 1; i > optind; --i) argv[i] = argv[i - 1];
        argv[optind] = taken;
    }
    optind += consumed;
    return result;
}

int long_option(int argc, char* argv[], const option_record* longopts, int* longindex, bool report,
                bool quiet) {
    char* text = argv[elem_start] + 2;
    const std::size_t name_length = std::strcspn(text, "=");
    char* value = text[name_length] == '=' ? text + name_length + 1 : nullptr;

    int match = -1;
    for (int i = 0; longopts[i].name != nullptr; ++i) {
        if (std::strlen(longopts[i].name) == name_length &&
            std::strncmp(longopts[i].name, text, name_length) == 0) {
            match = i;
            break;
        }
    }
    if (match < 0) {
        if (report)
            std::fprintf(stderr, "%s: illegal option -- %s\n", program_name(argc, argv), text);
        return finish_element(argv, '?');
    }
    if (longindex != nullptr) *longindex = match;

    const option_record& option = longopts[match];
    const int has_arg = option.has_arg == 1 || option.has_arg == 2 ? option.has_arg : 0;
    if (has_arg != 0 && value != nullptr) {
        optarg = value;
    } else if (has_arg == 1) {
        optarg = following_element(argc, argv);
        if (optarg == nullptr) {
            if (report) {
                std::fprintf(stderr, "%s: option requires an argument -- %s\n",
                             program_name(argc, argv), text);
            }
            return finish_element(argv, quiet ? ':' : '?');
        }
        ++elem_next;
    }
    if (option.flag == nullptr) return finish_element(argv, option.val);
    *option.flag = option.val;
    return finish_element(argv, 0);
}

int short_option(int argc, char* argv[], const char* letters, bool report, bool quiet) {
    const char c = *scan_pos++;
    optopt = static_cast<signed char>(c);
    const bool element_done = *scan_pos == '\0';
    // ':' only marks arguments in the option string; as an option it is unknown.
    const char* entry = c == ':' ? nullptr : std::strchr(letters, c);

    if (entry == nullptr) {
        if (report) std::fprintf(stderr, "%s: illegal option -- %c\n", program_name(argc, argv), c);
        return element_done ? finish_element(argv, '?') : '?';
    }
    const int result = static_cast<unsigned char>(c);
    if (entry[1] != ':') return element_done ? finish_element(argv, result) : result;

    if (!element_done) {
        optarg = scan_pos;
    } else if ((optarg = following_element(argc, argv)) != nullptr) {
        ++elem_next;
    } else {
        if (report) {
            std::fprintf(stderr, "%s: option requires an argument -- %c\n",
                         program_name(argc, argv), c);
        }
        return finish_element(argv, quiet ? ':' : '?');
    }
    return finish_element(argv, result);
}

}  // namespace

int getopt_long(int argc, char* argv[], const char* optstring, const option_record* longopts,
                int* longindex) {
    const bool quiet = optstring[0] == ':';
    const char* letters = quiet ? optstring + 1 : optstring;
    const bool report = !quiet && opterr != 0;

    if (optrestart != 0 || *scan_pos == '\0') {
        // A new scan must not hand out a pointer into the last scan's vector.
        if (optrestart != 0) optarg = nullptr;
        optrestart = 0;
        scan_pos = empty_text;
        if (optind < 0) return -1;
        elem_start = optind;
        while (elem_start < argc && argv[elem_start] != nullptr && is_operand(argv[elem_start])) {
            ++elem_start;
        }
        if (elem_start >= argc || argv[elem_start] == nullptr) return -1;

        optarg = nullptr;
        elem_next = elem_start + 1;
        char* element = argv[elem_start];
        if (element[1] == '-') {
            if (element[2] == '\0') return finish_element(argv, -1);
            return long_option(argc, argv, longopts, longindex, report, quiet);
        }
        scan_pos = element + 1;
    }
    return short_option(argc, argv, letters, report, quiet);
}

}  // namespace cmdline
