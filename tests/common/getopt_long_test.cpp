#include "getopt_long.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cmdline::getopt_long;
using cmdline::option_record;

// An argument vector whose texts stay in place while the parser reorders it.
class Argv {
public:
    Argv(std::initializer_list<const char*> items) : texts_(items.begin(), items.end()) {
        for (std::string& t : texts_) ptrs_.push_back(t.data());
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts_.size()); }
    char** argv() { return ptrs_.data(); }
    char* text(std::size_t original_index) { return texts_[original_index].data(); }
    std::vector<std::string> order() const {
        return std::vector<std::string>(ptrs_.begin(), ptrs_.end() - 1);
    }

private:
    std::vector<std::string> texts_;
    std::vector<char*> ptrs_;
};

int dev_flag = 0;
const option_record kLong[] = {
    {"device", 1, nullptr, 'd'}, {"verbose", 0, nullptr, 'v'}, {"level", 2, nullptr, 'l'},
    {"odd", 7, nullptr, 'o'},    {"set", 0, &dev_flag, 42},    {"need", 1, &dev_flag, 43},
    {nullptr, 0, nullptr, 0},
};

class GetoptLong : public ::testing::Test {
protected:
    void SetUp() override {
        cmdline::optind = 1;
        cmdline::optrestart = 1;
        cmdline::opterr = 1;
        cmdline::optopt = 0;
        cmdline::optarg = nullptr;
        dev_flag = 0;
        testing::internal::CaptureStderr();
    }
    void TearDown() override {
        if (!stderr_read_) testing::internal::GetCapturedStderr();
    }
    std::string messages() {
        stderr_read_ = true;
        return testing::internal::GetCapturedStderr();
    }
    int next(Argv& a, const char* optstring = "d:vx", int* index = nullptr) {
        return getopt_long(a.argc(), a.argv(), optstring, kLong, index);
    }
    // Every result until -1, each option with its argument as "c" or "c=arg".
    std::vector<std::string> scan(Argv& a, const char* optstring = "d:vn:") {
        std::vector<std::string> seen;
        for (int c; (c = next(a, optstring)) != -1;) {
            std::string item(1, static_cast<char>(c));
            if (cmdline::optarg) item += std::string("=") + cmdline::optarg;
            seen.push_back(item);
        }
        return seen;
    }
    bool stderr_read_ = false;
};

TEST_F(GetoptLong, NoArgumentsEndsAtOnce) {
    Argv a{"prog"};
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(cmdline::optind, 1);
    char* none[] = {nullptr};
    cmdline::optrestart = 1;
    EXPECT_EQ(getopt_long(0, none, "d:", kLong, nullptr), -1);
    EXPECT_EQ(messages(), "");
}

TEST_F(GetoptLong, OptionAfterOperandIsMovedInFront) {
    Argv a{"prog", "file", "-v"};
    EXPECT_EQ(next(a), 'v');
    EXPECT_EQ(a.order(), (std::vector<std::string>{"prog", "-v", "file"}));
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(cmdline::optind, 2);
}

TEST_F(GetoptLong, DoubleDashEndsTheScanAndMovesInFront) {
    Argv a{"prog", "a", "--", "-v", "b"};
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(a.order(), (std::vector<std::string>{"prog", "--", "a", "-v", "b"}));
    EXPECT_EQ(cmdline::optind, 2);
}

TEST_F(GetoptLong, ArgumentFormsPointIntoTheVector) {
    struct Case {
        Argv argv;
        std::size_t element;  // where the text "dev" starts, as an original index and offset
        std::size_t offset;
    };
    Case cases[] = {{{"prog", "-ddev"}, 1, 2},
                    {{"prog", "-d", "dev"}, 2, 0},
                    {{"prog", "--device=dev"}, 1, 9},
                    {{"prog", "--device", "dev"}, 2, 0},
                    {{"prog", "-vddev"}, 1, 3}};
    for (Case& c : cases) {
        SCOPED_TRACE(c.argv.order()[1]);
        cmdline::optind = 1;
        cmdline::optrestart = 1;
        int result;
        while ((result = next(c.argv)) == 'v') {
        }
        EXPECT_EQ(result, 'd');
        EXPECT_EQ(cmdline::optarg, c.argv.text(c.element) + c.offset);
        EXPECT_EQ(next(c.argv), -1);
        EXPECT_EQ(cmdline::optind, c.argv.argc());
    }
    Argv taken{"prog", "-d", "-v"};
    cmdline::optind = 1;
    cmdline::optrestart = 1;
    EXPECT_EQ(next(taken), 'd');
    EXPECT_STREQ(cmdline::optarg, "-v");
    EXPECT_EQ(next(taken), -1);
    EXPECT_EQ(messages(), "");
}

TEST_F(GetoptLong, MissingArgumentMessages) {
    Argv a{"prog", "-d"};
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(cmdline::optopt, 'd');
    Argv b{"prog", "--device"};
    cmdline::optind = 1;
    EXPECT_EQ(next(b), '?');
    EXPECT_EQ(messages(),
              "prog: option requires an argument -- d\n"
              "prog: option requires an argument -- device\n");
}

TEST_F(GetoptLong, UnknownOptionMessages) {
    Argv a{"prog", "--dev", "--bogus=1", "-xv", "-q"};
    EXPECT_EQ(next(a, "d:v"), '?');  // no abbreviations
    EXPECT_EQ(next(a, "d:v"), '?');
    EXPECT_EQ(next(a, "d:v"), '?');
    EXPECT_EQ(cmdline::optopt, 'x');
    EXPECT_EQ(next(a, "d:v"), 'v');  // the rest of the same cluster
    EXPECT_EQ(next(a, "d:v"), '?');
    EXPECT_EQ(next(a, "d:v"), -1);
    EXPECT_EQ(messages(),
              "prog: illegal option -- dev\n"
              "prog: illegal option -- bogus=1\n"
              "prog: illegal option -- x\n"
              "prog: illegal option -- q\n");
}

TEST_F(GetoptLong, QuietModeAndOpterrSilenceMessages) {
    Argv a{"prog", "--nope", "-z", "-d"};
    EXPECT_EQ(next(a, ":d:"), '?') << "an unknown long option stays '?'";
    EXPECT_EQ(next(a, ":d:"), '?');
    EXPECT_EQ(next(a, ":d:"), ':');
    Argv tail{"prog", "--device"};
    cmdline::optind = 1;
    EXPECT_EQ(next(tail, ":d:"), ':');

    Argv b{"prog", "-d"};
    cmdline::optind = 1;
    cmdline::optrestart = 1;
    cmdline::opterr = 0;
    EXPECT_EQ(next(b, "d:"), '?') << "opterr 0 is not quiet mode";
    EXPECT_EQ(messages(), "");
}

TEST_F(GetoptLong, LongOptionArgumentKindsAndFlags) {
    int index = -1;
    Argv a{"prog", "--level=3", "--level", "x", "--verbose=no", "--odd=1", "--set", "--need"};
    EXPECT_EQ(next(a, "", &index), 'l');
    EXPECT_EQ(index, 2);
    EXPECT_STREQ(cmdline::optarg, "3");
    EXPECT_EQ(next(a, "", &index), 'l');
    EXPECT_EQ(cmdline::optarg, nullptr) << "an optional argument is never the next element";
    EXPECT_EQ(next(a, "", &index), 'v');
    EXPECT_EQ(cmdline::optarg, nullptr) << "no argument: the '=' part is ignored";
    EXPECT_EQ(next(a, "", &index), 'o');
    EXPECT_EQ(cmdline::optarg, nullptr) << "an unknown argument kind is 'none'";
    EXPECT_EQ(next(a, "", &index), 0);
    EXPECT_EQ(dev_flag, 42);
    EXPECT_EQ(index, 4);
    dev_flag = 0;
    EXPECT_EQ(next(a, "", &index), '?');
    EXPECT_EQ(index, 5) << "stored before the argument is checked";
    EXPECT_EQ(dev_flag, 0) << "a missing argument leaves the flag alone";
    EXPECT_EQ(next(a, "", &index), -1);
    EXPECT_EQ(a.order(), (std::vector<std::string>{"prog", "--level=3", "--level", "--verbose=no",
                                                   "--odd=1", "--set", "--need", "x"}));
    EXPECT_EQ(cmdline::optind, 7);
    EXPECT_EQ(messages(), "prog: option requires an argument -- need\n");
}

TEST_F(GetoptLong, ColonAsOptionIsUnknownAndLoneDashIsAnOperand) {
    Argv a{"prog", "-:", "-", "-v", "-d:"};
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(cmdline::optopt, ':');
    EXPECT_EQ(next(a), 'v');
    EXPECT_EQ(next(a), 'd');
    EXPECT_STREQ(cmdline::optarg, ":");
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(a.order(), (std::vector<std::string>{"prog", "-:", "-v", "-d:", "-"}));
    EXPECT_EQ(cmdline::optind, 4);
    EXPECT_EQ(messages(), "prog: illegal option -- :\n");
}

TEST_F(GetoptLong, PermutesLongInterleavedVectors) {
    Argv a{"prog", "a",        "-n", "5", "b",  "--device=x", "c", "-v",
           "",     "--device", "y",  "d", "--", "-v",         "e"};
    EXPECT_EQ(scan(a), (std::vector<std::string>{"n=5", "d=x", "v", "d=y"}));
    EXPECT_EQ(a.order(),
              (std::vector<std::string>{"prog", "-n", "5", "--device=x", "-v", "--device", "y",
                                        "--", "a", "b", "c", "", "d", "-v", "e"}));
    EXPECT_EQ(cmdline::optind, 8);
    EXPECT_EQ(messages(), "");
}

TEST_F(GetoptLong, OptionsOnlyAndOperandsOnlyKeepTheirOrder) {
    Argv options{"prog", "-v", "-n1", "--device", "z"};
    EXPECT_EQ(scan(options), (std::vector<std::string>{"v", "n=1", "d=z"}));
    EXPECT_EQ(options.order(), (std::vector<std::string>{"prog", "-v", "-n1", "--device", "z"}));
    EXPECT_EQ(cmdline::optind, 5);

    Argv operands{"prog", "x", "y", "z"};
    cmdline::optind = 1;
    cmdline::optrestart = 1;
    EXPECT_EQ(scan(operands), std::vector<std::string>{});
    EXPECT_EQ(operands.order(), (std::vector<std::string>{"prog", "x", "y", "z"}));
    EXPECT_EQ(cmdline::optind, 1);
}

TEST_F(GetoptLong, RestartScansASecondVectorAndAbandonsACluster) {
    Argv first{"prog", "-vx", "op", "-d", "1"};
    EXPECT_EQ(next(first), 'v');  // mid-cluster: "x" not yet read
    Argv second{"other", "op", "-d", "2", "-v"};
    cmdline::optind = 1;
    cmdline::optrestart = 1;
    EXPECT_EQ(scan(second), (std::vector<std::string>{"d=2", "v"}));
    EXPECT_EQ(second.order(), (std::vector<std::string>{"other", "-d", "2", "-v", "op"}));
    EXPECT_EQ(cmdline::optind, 4);
    EXPECT_EQ(cmdline::optrestart, 0);
}

TEST_F(GetoptLong, NeverReadsPastTheCountOrANullElement) {
    Argv a{"prog", "-v", "-d", "dev"};
    EXPECT_EQ(getopt_long(3, a.argv(), "vd:", kLong, nullptr), 'v');
    EXPECT_EQ(getopt_long(3, a.argv(), "vd:", kLong, nullptr), '?') << "dev lies past the count";
    EXPECT_EQ(getopt_long(3, a.argv(), "vd:", kLong, nullptr), -1);

    Argv b{"prog", "-v", "-v"};
    b.argv()[2] = nullptr;
    cmdline::optind = 1;
    cmdline::optrestart = 1;
    EXPECT_EQ(getopt_long(3, b.argv(), "v", kLong, nullptr), 'v');
    EXPECT_EQ(getopt_long(3, b.argv(), "v", kLong, nullptr), -1);

    Argv c{"prog", "-q"};
    c.argv()[0] = nullptr;
    cmdline::optind = 1;
    cmdline::optrestart = 1;
    EXPECT_EQ(getopt_long(2, c.argv(), "v", kLong, nullptr), '?');
    EXPECT_EQ(messages(),
              "prog: option requires an argument -- d\n"
              ": illegal option -- q\n");
}

TEST_F(GetoptLong, OptargIsClearedForEachNewElement) {
    Argv a{"prog", "-d", "x", "-v"};
    EXPECT_EQ(next(a), 'd');
    EXPECT_STREQ(cmdline::optarg, "x");
    EXPECT_EQ(next(a), 'v');
    EXPECT_EQ(cmdline::optarg, nullptr);

    // A fresh scan never leaves optarg pointing into the vector of the last one.
    Argv b{"prog", "operand"};
    cmdline::optind = 1;
    cmdline::optrestart = 1;
    EXPECT_EQ(next(b), -1);
    EXPECT_EQ(cmdline::optarg, nullptr);
}

}  // namespace
