// A station that tests several boards at once: its name and its sockets, each
// with the device string of its board and the environment its steps get,
// read from a TOML file.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Socket {
    std::string name;
    std::string device;
    std::vector<std::pair<std::string, std::string>> env;  // by name
};

struct StationFile {
    std::string name;
    std::string path;    // absolute
    std::string sha256;  // of the file's bytes
    std::vector<Socket> sockets;
    std::string serial_pattern;  // an RE2 a serial must match whole; empty: any
};

// Reads and checks the station file at `path`. False with a message that
// names the file, the line and the key at fault.
bool load_station_file(const std::string& path, StationFile& station, std::string& error);

// Each -s SOCKET=SERIAL given, matched to its socket of `station`, in the
// order given. False with a message for a serial of no socket, a socket given
// two, a -s of another form, or none at all.
bool serials_of(const StationFile& station, const std::vector<std::string>& given,
                std::vector<std::pair<std::string, std::string>>& serials, std::string& error);
