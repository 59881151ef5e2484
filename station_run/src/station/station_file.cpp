#include "station_file.h"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "base/toml_check.h"

namespace {

// What a shell would take as a variable's name.
bool variable_name(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    return true;
}

bool read_socket(Checker& check, const toml::table& t, const std::string& path, Socket& s) {
    if (!check.known_keys(t, path, {"name", "device", "env"}) ||
        !check.text(t, "name", path, s.name, true) ||
        !check.text(t, "device", path, s.device, true)) {
        return false;
    }
    if (!plain_name(s.name)) {
        return check.fail(t.get("name")->source(), path + "name",
                          "letters, digits, '-', '_' and '.' only");
    }
    // The socket's folder lies beside the station's own files, seen by all.
    if (s.name[0] == '.') {
        return check.fail(t.get("name")->source(), path + "name", "must not begin with '.'");
    }
    if (s.name == "run.lock" || s.name == "station.json") {
        return check.fail(t.get("name")->source(), path + "name",
                          "is a file of the station's folder");
    }
    if (s.device.empty()) return check.fail(t.get("device")->source(), path + "device", "empty");
    const toml::node* env = t.get("env");
    if (env == nullptr) return true;
    const toml::table* vars = env->as_table();
    if (vars == nullptr) {
        return check.fail(env->source(), path + "env", "must be a table of NAME = \"value\"");
    }
    for (auto&& [key, value] : *vars) {
        const std::string name(key.str());
        if (!variable_name(name)) {
            return check.fail(key.source(), path + "env." + name, "is no variable's name");
        }
        if (name == "ORLIX_DEVICE") {
            return check.fail(key.source(), path + "env." + name,
                              "is the socket's device: give it as device");
        }
        if (!value.is_string()) {
            return check.fail(value.source(), path + "env." + name, "must be a string");
        }
        const std::string text = *value.value<std::string>();
        if (text.find('\0') != std::string::npos) {
            return check.fail(value.source(), path + "env." + name, "holds a NUL");
        }
        s.env.emplace_back(name, text);
    }
    return true;
}

}  // namespace

bool serials_of(const StationFile& station, const std::vector<std::string>& given,
                std::vector<std::pair<std::string, std::string>>& serials, std::string& error) {
    serials.clear();
    for (const std::string& g : given) {
        const std::size_t equals = g.find('=');
        const std::string socket = g.substr(0, equals);
        if (equals == std::string::npos || equals == 0 || equals + 1 == g.size()) {
            error = "-s " + g + ": with a station file, -s takes SOCKET=SERIAL";
        } else if (std::none_of(station.sockets.begin(), station.sockets.end(),
                                [&](const Socket& x) { return x.name == socket; })) {
            error = "-s " + g + ": " + station.path + " has no socket " + socket;
        } else if (std::any_of(serials.begin(), serials.end(),
                               [&](const auto& x) { return x.first == socket; })) {
            error = "-s " + g + ": socket " + socket + " has a serial already";
        } else {
            serials.emplace_back(socket, g.substr(equals + 1));
            continue;
        }
        return false;
    }
    if (serials.empty()) error = "no socket has a serial: give -s SOCKET=SERIAL";
    return !serials.empty();
}

bool load_station_file(const std::string& path, StationFile& station, std::string& error) {
    StationFile s;
    s.path = path;
    toml::table root;
    if (!read_toml(path, root, s.sha256, error)) return false;
    Checker check(path);
    bool ok = check.known_keys(root, "", {"name", "serial_pattern", "socket"}) &&
              check.text(root, "name", "", s.name, true) &&
              check.text(root, "serial_pattern", "", s.serial_pattern, false);
    if (ok && root.contains("serial_pattern")) {
        RE2::Options options;
        options.set_log_errors(false);
        const RE2 pattern(s.serial_pattern, options);
        if (!pattern.ok()) {
            ok = check.fail(root.get("serial_pattern")->source(), "serial_pattern",
                            "does not parse: " + pattern.error());
        }
    }
    if (ok && s.name.empty()) ok = check.fail(root.get("name")->source(), "name", "empty");
    const toml::array* sockets = ok ? check.tables(root, "socket") : nullptr;
    ok = sockets != nullptr;
    std::set<std::string> names, devices;
    for (std::size_t i = 0; ok && i < sockets->size(); ++i) {
        const toml::table& table = *(*sockets)[i].as_table();
        const std::string at = "socket[" + std::to_string(i + 1) + "].";
        Socket socket;
        ok = read_socket(check, table, at, socket);
        if (ok && !names.insert(socket.name).second) {
            ok = check.fail(table.get("name")->source(), at + "name",
                            "\"" + socket.name + "\" names an earlier socket too");
        }
        // Two sockets on one board would put both verdicts on it.
        if (ok && !devices.insert(socket.device).second) {
            ok = check.fail(table.get("device")->source(), at + "device",
                            "\"" + socket.device + "\" is an earlier socket's device too");
        }
        if (ok) s.sockets.push_back(std::move(socket));
    }
    if (!ok) {
        error = check.error();
        return false;
    }
    station = std::move(s);
    return true;
}
