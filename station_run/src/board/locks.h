// Locks on the instruments a station's boards share. The station's process
// holds them and grants each, first asked first served, to the process of a
// board over a socket pair; a board's process asks for a lock before an
// attempt of a step that names it and gives it back when the attempt ends.
// A lock is never left held: the station's process releases what a board
// held when the board's process ends, however it ends, and the locks go
// with the station's process.
#pragma once

#include <signal.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

struct Grant {
    int board;
    std::string lock;
    std::string ask;  // the number of the asking it answers, so that a late
                      // grant of an asking given up is never taken for another
};

// Who holds each lock and who waits for it, in the order they asked.
class LockBroker {
public:
    // `board` asks for `lock`, its asking numbered `ask`; granted at once when
    // no one holds it.
    std::vector<Grant> ask(int board, const std::string& lock, const std::string& ask = "");
    // `board` gives `lock` back, or no longer waits for it.
    std::vector<Grant> give_back(int board, const std::string& lock);
    // `board`'s process ended: whatever it held or waited for goes.
    std::vector<Grant> gone(int board);
    // The board holding `lock`; -1 when free.
    int holder(const std::string& lock) const;

private:
    std::vector<Grant> next_of(const std::string& lock) const;
    std::map<std::string, std::deque<int>> queues_;            // the holder first, then who waits
    std::map<std::pair<int, std::string>, std::string> asks_;  // by board and lock
};

// The board's side, on its end of the pair. Waits for `lock` until granted,
// for at most `timeout_s`, or until `stop_fd` becomes readable with a
// termination signal counted in `signals`; a wait that ends ungranted no
// longer asks.
enum class LockWait { granted, stopped, timed_out, station_gone };
LockWait take_lock(int fd, const std::string& lock, double timeout_s, int stop_fd,
                   const volatile sig_atomic_t* signals);
void give_back_lock(int fd, const std::string& lock);

// The messages, each one datagram: "ask NAME NUMBER", "give NAME" to the
// station, "grant NAME NUMBER" from it.
std::string lock_message(const char* verb, const std::string& lock, const std::string& ask = "");
// The verb, the lock and the asking's number (empty when none) of a
// message; false for anything else.
bool read_lock_message(const std::string& message, std::string& verb, std::string& lock,
                       std::string& ask);
