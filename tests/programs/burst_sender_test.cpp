#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "process.h"
#include "program_fixture.h"
#include "program_models.h"

namespace {

using test_support::read_file;
using test_support::Result;
using test_support::split_lines;
using test_support::operator+;

// The calls of a good run around its packets; each call failing in turn: the
// fault sweep.
const std::vector<std::string> kNoPackets =
    test_support::clean_trace(test_support::burst_sender_model({}, 0));
const std::vector<std::string> kSetup(kNoPackets.begin(), kNoPackets.end() - 2);
const std::vector<std::string> kTeardown(kNoPackets.end() - 2, kNoPackets.end());
const std::string kRoundRobinLengths =
    "Packet Lengths: [40, 17, 43, 20 + (packets_sent % 300)] dwords";

std::string tx_line(std::uint64_t words, int status = 0) {
    return "orlix_sync_tx(dev, buf, " + std::to_string(words) +
           ", {timestamp=0, flags=7}, 3000) -> " + std::to_string(status);
}

std::string ramp(std::uint64_t words) {
    std::string bytes(words * 4, '\0');
    for (std::uint32_t k = 0; k < words; ++k) std::memcpy(&bytes[4 * k], &k, 4);
    return bytes;
}

class BurstSender : public test_support::ProgramTest {
protected:
    Result run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        env["ORLIX_SIM_TX_FILE"] = (dir / "tx.bin").string();
        return ProgramTest::run(BURST_SENDER_BIN, std::move(args), std::move(env));
    }
    std::string sent() const { return read_file(dir / "tx.bin"); }
    // The packet lengths, in order, of the transmit calls in the trace.
    std::vector<std::uint64_t> sent_lengths() const {
        std::vector<std::uint64_t> lengths;
        for (const std::string& line : trace()) {
            if (line.rfind("orlix_sync_tx(dev, buf, ", 0) == 0) {
                lengths.push_back(std::stoull(line.substr(24)));
            }
        }
        return lengths;
    }
    void reset() {
        clear_trace();
        std::filesystem::remove(dir / "tx.bin");
    }
};

TEST_F(BurstSender, DefaultRunRotatesTenPacketsOfRamps) {
    const Result r = run({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(
        split_lines(r.out),
        (std::vector<std::string>{
            "Opening device: any",
            "Sending 10 packets with the following packet length and order:", kRoundRobinLengths}));
    const std::vector<std::uint64_t> lengths = {40, 17, 43, 23, 40, 17, 43, 27, 40, 17};
    std::vector<std::string> txs;
    std::string bytes;
    for (std::uint64_t n : lengths) {
        txs.push_back(tx_line(n));
        bytes += ramp(n);
    }
    EXPECT_EQ(trace(), kSetup + txs + kTeardown);
    EXPECT_TRUE(sent() == bytes) << "every packet carries the ramp 0 .. N-1";
}

TEST_F(BurstSender, StaticLengthSendsOneRampRepeatedly) {
    const Result r = run({"-n", "5", "-s", "100", "-d", "sim"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              "Opening device: sim\nSending 5 packets: 100 dwords/packet (400 bytes/packet)\n");
    EXPECT_EQ(trace()[0], "orlix_open(\"sim\") -> 0");
    EXPECT_EQ(sent_lengths(), std::vector<std::uint64_t>(5, 100));
    std::string bytes;
    for (int i = 0; i < 5; ++i) bytes += ramp(100);
    EXPECT_TRUE(sent() == bytes);
}

TEST_F(BurstSender, RotationRepeatsEveryThreeHundredPackets) {
    const Result r = run({"--packets=606"});
    EXPECT_EQ(r.exit_code, 0);
    const std::vector<std::uint64_t> lengths = sent_lengths();
    ASSERT_EQ(lengths.size(), 606u);
    EXPECT_EQ(lengths[299], 319u);
    EXPECT_EQ(lengths[303], 23u);
    std::vector<std::uint64_t> fourth;
    for (std::size_t i = 0; i < 300; ++i) {
        EXPECT_EQ(lengths[i], lengths[i + 300]) << i;
        if (i % 4 == 3) {
            fourth.push_back(lengths[i]);
        } else {
            const std::uint64_t rotation[] = {40, 17, 43};
            EXPECT_EQ(lengths[i], rotation[i % 4]) << i;
        }
    }
    ASSERT_EQ(fourth.size(), 75u);
    for (std::size_t j = 0; j < fourth.size(); ++j) EXPECT_EQ(fourth[j], 23 + 4 * j);
    std::string bytes;
    for (std::uint64_t n : lengths) bytes += ramp(n);
    EXPECT_TRUE(sent() == bytes);
}

TEST_F(BurstSender, ZeroPacketsEnablesAndDisablesInBothModes) {
    for (const char* size : {"0", "8"}) {
        SCOPED_TRACE(size);
        reset();
        const Result r = run({"-n", "0", "-s", size});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(split_lines(r.out)[1],
                  std::string(size) == "0"
                      ? "Sending 0 packets with the following packet "
                        "length and order:"
                      : "Sending 0 packets: 8 dwords/packet (32 bytes/packet)");
        EXPECT_EQ(trace(), kSetup + kTeardown);
    }
}

TEST_F(BurstSender, CountsConvertLikeAThirtyTwoBitStrtoul) {
    struct Case {
        std::vector<std::string> args;
        std::string second_line;
        std::size_t packets;
    };
    const Case cases[] = {
        {{"-n", "0x10"}, "Sending 16 packets with", 16},
        {{"-n", "0X10"}, "Sending 16 packets with", 16},
        {{"-n", "010"}, "Sending 8 packets with", 8},
        {{"-n", "0b101"}, "Sending 0 packets with", 0},  // no binary prefix on any C library
        {{"-n", "0B1"}, "Sending 0 packets with", 0},
        {{"-n", "0x"}, "Sending 0 packets with", 0},
        {{"-n", "0xg1"}, "Sending 0 packets with", 0},
        {{"-n", "abc"}, "Sending 0 packets with", 0},
        {{"-n", "3junk"}, "Sending 3 packets with", 3},
        {{"-n", " +2"}, "Sending 2 packets with", 2},
        {{"-n", "--2"}, "Sending 0 packets with", 0},
        {{"-n", "-4294967295"}, "Sending 1 packets with", 1},
        {{"-n", "1", "-s", "abc"}, "Sending 1 packets with", 1},
        {{"-n", "1", "-s", "0x0"}, "Sending 1 packets with", 1},
        {{"-n", "2", "--size", "8"}, "Sending 2 packets: 8 dwords/packet (32 bytes/packet)", 2},
        {{"-n", "2", "--size=8"}, "Sending 2 packets: 8 dwords/packet (32 bytes/packet)", 2},
        {{"-n", "2", "-s8"}, "Sending 2 packets: 8 dwords/packet (32 bytes/packet)", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        reset();
        const Result r = run(c.args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(split_lines(r.out)[1].rfind(c.second_line, 0), 0u) << r.out;
        EXPECT_EQ(sent_lengths().size(), c.packets);
    }
}

TEST_F(BurstSender, HugeAndNegativeCountsSaturateOrWrapAtThirtyTwoBits) {
    // Stopped by a failing transmit: these ask for 4,294,967,295 packets.
    for (const char* count : {"-1", "4294967296", "99999999999999999999999", "-4294967296"}) {
        SCOPED_TRACE(count);
        reset();
        const Result r = run({"-n", count}, {{"ORLIX_SIM_FAIL", "sync_tx@3"}});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(split_lines(r.out)[1],
                  "Sending 4294967295 packets with the following packet length and order:");
        EXPECT_EQ(sent_lengths().size(), 3u);
    }
    reset();
    const Result r = run({"-n", "1", "-s", "-1"}, {{"ORLIX_SIM_FAIL", "sync_config"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Opening device: any\n") << "the size is only printed after the set-up";
}

TEST_F(BurstSender, PacketsOfTwoToTheTwentyNineDwordsSendEveryWord) {
    const Result r = run({"-n", "1", "-s", "536870912"}, {{"ORLIX_SIM_TX_FILE", ""}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out)[1],
              "Sending 1 packets: 536870912 dwords/packet (2147483648 bytes/packet)");
    EXPECT_EQ(sent_lengths(), std::vector<std::uint64_t>{536870912});
}

TEST_F(BurstSender, UnallocatablePacketIsReportedAndTheDeviceClosed) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
    test_support::Launch s =
        launch(BURST_SENDER_BIN, {"-n", "1", "-s", "4294967295"}, {{"ORLIX_SIM_TX_FILE", ""}});
    s.address_space_limit = 1ull << 30;
    const Result r = test_support::run(s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Failed to allocate packet buffer (17179869180 bytes)\n");
    std::vector<std::string> expected(kSetup.begin(), kSetup.end() - 1);
    expected.push_back("orlix_close(dev)");
    EXPECT_EQ(trace(), expected);
}

TEST_F(BurstSender, LevelNamesInAnyCase) {
    const std::pair<const char*, int> names[] = {{"critical", 5}, {"ERROR", 4}, {"Warning", 3},
                                                 {"iNfO", 2},     {"DEBUG", 1}, {"verbose", 0}};
    std::vector<std::string> args;
    std::vector<std::string> expected;
    for (const auto& [name, level] : names) {
        args.insert(args.end(), {"-v", name});
        expected.push_back("orlix_log_set_verbosity(" + std::to_string(level) + ")");
    }
    args.insert(args.end(), {"-n", "0"});
    const Result r = run(args);
    EXPECT_EQ(r.exit_code, 0);
    const std::vector<std::string> t = trace();
    EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 6), expected);
}

TEST_F(BurstSender, UnknownLevelExitsMinusOneBeforeAnyDevice) {
    for (const char* name : {"silent", "", "debug2", "6"}) {
        SCOPED_TRACE(name);
        reset();
        const Result r = run({"-v", "info", "--verbosity", name, "-h"});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Invalid log level: " + std::string(name) + "\n");
        EXPECT_EQ(trace(), std::vector<std::string>{"orlix_log_set_verbosity(2)"});
    }
}

TEST_F(BurstSender, HelpAndParserErrors) {
    const std::string prog = BURST_SENDER_BIN;
    Result r = run({"-v", "info", "-h", "--bogus"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> help = split_lines(r.out);
    ASSERT_EQ(help.size(), 13u);
    EXPECT_EQ(help[0], "Usage: " + prog + " [options]");
    EXPECT_EQ(help[5], std::string(29, ' ') + "Orlix device if multiple are available.");
    EXPECT_EQ(help[8], "");
    EXPECT_EQ(help[11],
              "a dynamic packet length of '20 + (packet_count % 300)'. Otherwise, all packets");
    EXPECT_EQ(trace(), std::vector<std::string>{"orlix_log_set_verbosity(2)"});

    reset();
    r = run({"--bogus", "-h"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, prog + ": illegal option -- bogus\n");
    EXPECT_EQ(trace(), std::vector<std::string>{});

    r = run({"-n"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, prog + ": option requires an argument -- n\n");
}

TEST_F(BurstSender, DeviceStringIsPassedAsGiven) {
    const Result r = run({"-d", "", "-n", "0"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(split_lines(r.out)[0], "Opening device: ");
    EXPECT_EQ(trace()[0], "orlix_open(\"\") -> 0");
}

}  // namespace
