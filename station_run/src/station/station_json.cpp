#include "station_json.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/toml_check.h"
#include "files.h"
#include "history/history.h"
#include "record/events.h"

using ordered_json = nlohmann::ordered_json;

namespace {

ordered_json env_json(const std::vector<std::pair<std::string, std::string>>& env) {
    ordered_json j = ordered_json::object();
    for (const auto& [name, value] : env) j[name] = value;
    return j;
}

ordered_json station_json(const StationRecord& s) {
    ordered_json j = {{"station", s.name},
                      {"station_file", {{"path", s.file_path}, {"sha256", s.file_sha256}}},
                      {"started", s.started},
                      {"ended", s.ended.empty() ? ordered_json(nullptr) : ordered_json(s.ended)},
                      {"verdict", s.verdict ? ordered_json(verdict_name(*s.verdict)) : nullptr},
                      {"exit_status", s.exit_status ? ordered_json(*s.exit_status) : nullptr},
                      {"run",
                       {{"sequence", s.run.sequence},
                        {"image", s.run.image},
                        {"operator", s.run.operator_name},
                        {"history", History::shown_target(s.run.history)},
                        {"output_limit", s.run.output_limit},
                        {"expected_tone_hz", s.run.expected_tone_hz}}}};
    j["boards"] = ordered_json::array();
    for (const StationBoard& b : s.boards) {
        j["boards"].push_back(
            {{"socket", b.socket},
             {"serial", b.serial},
             {"device", b.device},
             {"env", env_json(b.env)},
             {"folder", b.socket},
             {"verdict", b.verdict ? ordered_json(verdict_name(*b.verdict)) : nullptr},
             {"exit_status", s.exit_status ? ordered_json(b.exit_status) : nullptr},
             {"failed_steps", b.failed}});
    }
    j["not_run"] = ordered_json::array();
    for (const auto& [socket, why] : s.not_run) {
        j["not_run"].push_back({{"socket", socket}, {"reason", why}});
    }
    return j;
}

bool station_from(const nlohmann::json& j, StationRecord& s, std::string& error) {
    try {
        s.name = j.at("station").get<std::string>();
        s.file_path = j.at("station_file").at("path").get<std::string>();
        s.file_sha256 = j.at("station_file").at("sha256").get<std::string>();
        s.started = j.at("started").get<std::string>();
        const nlohmann::json& r = j.at("run");
        s.run.station = s.name;
        s.run.sequence = r.at("sequence").get<std::string>();
        s.run.image = r.at("image").get<std::string>();
        s.run.operator_name = r.at("operator").get<std::string>();
        s.run.history = r.at("history").get<std::string>();
        s.run.output_limit = r.at("output_limit").get<std::uint64_t>();
        s.run.expected_tone_hz = r.at("expected_tone_hz").get<double>();
        s.run.socket_env.clear();
        for (const nlohmann::json& b : j.at("boards")) {
            StationBoard board;
            board.socket = b.at("socket").get<std::string>();
            board.serial = b.at("serial").get<std::string>();
            board.device = b.at("device").get<std::string>();
            for (const auto& [name, value] : b.at("env").items()) {
                board.env.emplace_back(name, value.get<std::string>());
            }
            // A board's folder is its socket's in the station's folder, which
            // may have moved or been copied since; an older station.json
            // named it absolute, where it was then.
            const std::string folder = b.at("folder").get<std::string>();
            if (folder.empty() || (folder[0] != '/' && !plain_name(folder))) {
                throw std::runtime_error("a board's folder \"" + folder + "\" is no plain name");
            }
            board.folder = s.folder + "/" + (folder[0] == '/' ? board.socket : folder);
            if (b.contains("exit_status") && b["exit_status"].is_number_integer()) {
                board.kept_exit_status = b["exit_status"].get<int>();
            }
            s.boards.push_back(std::move(board));
        }
        for (const nlohmann::json& n : j.at("not_run")) {
            s.not_run.emplace_back(n.at("socket").get<std::string>(),
                                   n.at("reason").get<std::string>());
        }
    } catch (const std::exception& e) {
        error = std::string("not a station's summary: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace

bool write_station_json(const StationRecord& s) {
    const std::string path = s.folder + "/" + kStationJson;
    if (write_file_whole(path, json_text(station_json(s), 2) + "\n", false)) return true;
    trouble(path + ": " + strerror(errno));
    return false;
}

bool read_station_json(StationRecord& s, std::string& error) {
    FilePart bytes;
    const std::string path = s.folder + "/" + kStationJson;
    if (!read_file_part(s.folder, kStationJson, std::size_t{16} << 20, false, bytes)) {
        error = path + ": " + strerror(errno);
        return false;
    }
    const nlohmann::json doc = nlohmann::json::parse(bytes.bytes, nullptr, false);
    if (doc.is_discarded() || !station_from(doc, s, error)) {
        error = path + ": " + (error.empty() ? "no JSON" : error);
        return false;
    }
    return true;
}

bool is_station_folder(const std::string& folder) {
    struct stat st;
    return lstat((folder + "/" + kStationJson).c_str(), &st) == 0;
}
