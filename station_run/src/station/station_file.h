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
};

// Reads and checks the station file at `path`. False with a message that
// names the file, the line and the key at fault.
bool load_station_file(const std::string& path, StationFile& station, std::string& error);
