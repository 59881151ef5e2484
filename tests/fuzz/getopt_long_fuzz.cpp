// Fuzz target for the option parser. The input is split at NUL bytes into an
// option string, a long-option table, a flags field and the arguments; a fresh
// scan then runs to its end, and every step is held against what callers rely on.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "getopt_long.h"

namespace {

constexpr std::size_t kMaxArgs = 32;

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stdout, "getopt_long broke a promise: %s\n", what);
    std::fflush(stdout);
    std::abort();
}

struct Input {
    std::string optstring;
    std::vector<std::string> names;  // long-option names
    std::vector<int> has_arg;
    std::vector<bool> with_flag;
    bool opterr = true;
    std::vector<std::string> args;  // without the program name
};

Input decode(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(data[i]);
        }
    }
    Input in;
    in.optstring = fields[0];
    if (fields.size() > 1) {
        // Entries "<has_arg digit><flag if odd><name>", separated by commas.
        std::string table = fields[1];
        std::size_t start = 0;
        while (start <= table.size()) {
            const std::size_t end = std::min(table.find(',', start), table.size());
            const std::string entry = table.substr(start, end - start);
            if (entry.size() >= 2) {
                in.has_arg.push_back(entry[0] - '0');
                in.with_flag.push_back((entry[1] & 1) != 0);
                in.names.push_back(entry.substr(2));
            }
            start = end + 1;
        }
    }
    if (fields.size() > 2) in.opterr = fields[2].empty() || (fields[2][0] & 1) != 0;
    for (std::size_t i = 3; i < fields.size() && in.args.size() < kMaxArgs; ++i) {
        in.args.push_back(fields[i]);
    }
    return in;
}

struct Step {
    int result;
    int optind;
    long optarg_at;  // offset into the original element list, or -1
};

// Runs one whole scan over a fresh copy of the arguments.
std::vector<Step> scan(const Input& in, std::vector<int>& final_order, std::string& messages) {
    std::vector<std::string> storage = in.args;
    storage.insert(storage.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    const std::vector<char*> original = argv;
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    int flag_target = 0;
    std::vector<cmdline::option_record> table;
    for (std::size_t i = 0; i < in.names.size(); ++i) {
        table.push_back({in.names[i].c_str(), in.has_arg[i],
                         in.with_flag[i] ? &flag_target : nullptr, 256 + static_cast<int>(i)});
    }
    table.push_back({nullptr, 0, nullptr, 0});
    const bool quiet = !in.optstring.empty() && in.optstring[0] == ':';
    const std::string letters = quiet ? in.optstring.substr(1) : in.optstring;
    const bool any_flag =
        std::find(in.with_flag.begin(), in.with_flag.end(), true) != in.with_flag.end();

    char* buffer = nullptr;
    std::size_t length = 0;
    FILE* capture = open_memstream(&buffer, &length);
    require(capture != nullptr, "open_memstream");
    FILE* saved = stderr;
    stderr = capture;

    cmdline::optind = 1;
    cmdline::optrestart = 1;
    cmdline::opterr = in.opterr ? 1 : 0;
    std::vector<Step> steps;
    std::size_t budget = 2 * argc + 4;
    for (const std::string& a : in.args) budget += a.size();
    while (true) {
        require(steps.size() <= budget, "the scan does not end");
        int index = -1;
        const int r =
            cmdline::getopt_long(argc, argv.data(), in.optstring.c_str(), table.data(), &index);
        require(cmdline::optind >= 1 && cmdline::optind <= argc, "optind left 1 .. argc");
        bool known = r == -1 || r == '?' || (r == ':' && quiet) || (r == 0 && any_flag) ||
                     (r >= 256 && r < 256 + static_cast<int>(table.size()) - 1);
        for (const char c : letters)
            known = known || (c != ':' && r == static_cast<unsigned char>(c));
        require(known, "a result that is no option, '?', ':', 0, val or -1");
        if (r >= 256 || (r == 0 && any_flag))
            require(index >= 0, "a long option without its index");

        std::vector<char*> now(argv.begin(), argv.end() - 1);
        std::vector<char*> a = original;
        std::sort(now.begin(), now.end());
        std::sort(a.begin(), a.end());
        require(now == a, "the vector is no longer a permutation of its elements");
        require(argv[argc] == nullptr, "the terminating null moved");

        long at = -1;
        if (cmdline::optarg != nullptr) {
            for (std::size_t e = 0; e < original.size() && at < 0; ++e) {
                const char* p = original[e];
                if (cmdline::optarg >= p && cmdline::optarg <= p + std::strlen(p)) {
                    at = static_cast<long>(e) * 4096 + (cmdline::optarg - p);
                }
            }
            require(at >= 0, "optarg points outside every element");
        }
        steps.push_back({r, cmdline::optind, at});
        if (r == -1) break;
    }

    stderr = saved;
    std::fclose(capture);
    messages.assign(buffer, length);
    std::free(buffer);
    require(messages.empty() || (!quiet && in.opterr), "a message in quiet mode or with opterr 0");

    final_order.clear();
    for (int i = 0; i < argc; ++i) {
        final_order.push_back(static_cast<int>(
            std::find(original.begin(), original.end(), argv[i]) - original.begin()));
    }
    return steps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input in = decode(data, size);
    std::vector<int> order1, order2;
    std::string messages1, messages2;
    const std::vector<Step> first = scan(in, order1, messages1);
    const std::vector<Step> second = scan(in, order2, messages2);
    require(first.size() == second.size() && order1 == order2 && messages1 == messages2,
            "a second scan of a fresh copy differs");
    for (std::size_t i = 0; i < first.size(); ++i) {
        require(first[i].result == second[i].result && first[i].optind == second[i].optind &&
                    first[i].optarg_at == second[i].optarg_at,
                "a second scan of a fresh copy differs");
    }
    return 0;
}
