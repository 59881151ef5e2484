// A station of several boards in process: the shared instruments' locks, and
// the station file read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/locks.h"
#include "process.h"
#include "station/loop.h"
#include "station/station_file.h"

namespace {

// The shared instruments' locks: one holder, the others served in the order
// they asked, whatever a board does or however its process ends.
TEST(StationLocks, OneHolderTheOthersInTheOrderTheyAskedNoneLeftByAGoneBoard) {
    LockBroker b;
    auto granted = [](const std::vector<Grant>& g) {
        std::string out;
        for (const Grant& x : g) out += std::to_string(x.board) + ":" + x.lock + " ";
        return out;
    };
    EXPECT_EQ(granted(b.ask(3, "rf")), "3:rf ");
    EXPECT_EQ(granted(b.ask(0, "rf")), "") << "held";
    EXPECT_EQ(granted(b.ask(2, "rf")), "");
    EXPECT_EQ(granted(b.ask(1, "switch")), "1:switch ") << "another lock is another queue";
    EXPECT_EQ(granted(b.ask(0, "rf")), "") << "asked twice, queued once";
    EXPECT_EQ(granted(b.give_back(3, "rf")), "0:rf ") << "the first to ask, not the lowest";
    EXPECT_EQ(granted(b.ask(3, "rf")), "") << "behind the ones already waiting";
    EXPECT_EQ(granted(b.give_back(2, "rf")), "") << "a waiting board that stops waiting";
    EXPECT_EQ(granted(b.gone(0)), "3:rf ") << "a holder whose process ended";
    EXPECT_EQ(granted(b.gone(1)), "");
    EXPECT_EQ(b.holder("switch"), -1);
    EXPECT_EQ(granted(b.give_back(3, "rf")), "");
    EXPECT_EQ(b.holder("rf"), -1);
    EXPECT_EQ(granted(b.give_back(5, "none")), "") << "a lock never asked for";
    std::string verb, lock, ask;
    EXPECT_TRUE(read_lock_message(lock_message("grant", "rf-source", "7"), verb, lock, ask));
    EXPECT_EQ(verb + "/" + lock + "/" + ask, "grant/rf-source/7");
    EXPECT_TRUE(read_lock_message(lock_message("give", "rf-source"), verb, lock, ask));
    EXPECT_EQ(verb + "/" + lock + "/" + ask, "give/rf-source/");
    EXPECT_FALSE(read_lock_message("steal rf", verb, lock, ask));
    EXPECT_FALSE(read_lock_message("ask ", verb, lock, ask));
    // A grant answers the asking it was made for: one given up and asked
    // anew is answered with the new number.
    LockBroker numbered;
    EXPECT_EQ(numbered.ask(1, "rf", "1").at(0).ask, "1");
    EXPECT_TRUE(numbered.ask(2, "rf", "1").empty());
    EXPECT_TRUE(numbered.give_back(2, "rf").empty()) << "2 gave up waiting";
    EXPECT_TRUE(numbered.ask(2, "rf", "2").empty());
    const std::vector<Grant> next = numbered.give_back(1, "rf");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].board, 2);
    EXPECT_EQ(next[0].ask, "2");
}

// A station file read back as written: sockets in order, each socket's
// environment by name, the file's SHA-256.
TEST(StationFileRead, SocketsAndTheirEnvironmentsAsWritten) {
    test_support::TempDir dir;
    const std::string text =
        "name = \"line-4\"\n[[socket]]\nname = \"B\"\ndevice = \"sim\"\n"
        "env = { Z_LAST = \"1\", A_FIRST = \"x y=z\" }\n[[socket]]\nname = \"A\"\n"
        "device = \"usb:2\"\n";
    test_support::write_file(dir / "s.toml", text);
    StationFile f;
    std::string error;
    ASSERT_TRUE(load_station_file((dir / "s.toml").string(), f, error)) << error;
    EXPECT_EQ(f.name, "line-4");
    ASSERT_EQ(f.sockets.size(), 2u);
    EXPECT_EQ(f.sockets[0].name, "B");
    EXPECT_EQ(f.sockets[1].device, "usb:2");
    ASSERT_EQ(f.sockets[0].env.size(), 2u);
    EXPECT_EQ(f.sockets[0].env[0].second, "x y=z");
    EXPECT_EQ(f.sockets[0].env[1].first, "Z_LAST");
    EXPECT_EQ(f.sha256.size(), 64u);
    EXPECT_TRUE(f.sockets[1].env.empty());
}

TEST(LoopSerials, EmptyRepeatedAndUnmatchedSerialsAreRefusedWithTheReason) {
    EXPECT_EQ(serial_refusal("SN-1", "", ""), "");
    EXPECT_EQ(serial_refusal("SN-1", "SN-0", "SN-[0-9]+"), "");
    EXPECT_EQ(serial_refusal("", "SN-0", ""), "the serial is empty: scan the board's label");
    EXPECT_NE(serial_refusal("SN-0", "SN-0", "").find("just tested"), std::string::npos);
    // The whole serial must match, not a part of it.
    EXPECT_NE(serial_refusal("XSN-12", "", "SN-[0-9]+").find("does not match"), std::string::npos);
}

}  // namespace
