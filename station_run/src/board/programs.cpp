#include "programs.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "base/trouble.h"
#include "files.h"

namespace {

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string working_folder() {
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? cwd : ".";
}

}  // namespace

std::string own_folder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    return folder_of(path);
}

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        const std::string path =
            std::filesystem::path(name[0] == '/' ? name : working_folder() + "/" + name)
                .lexically_normal();
        return access(path.c_str(), F_OK) == 0 ? path : "";
    }
    const std::string beside = own_folder() + "/" + name;
    if (access(beside.c_str(), X_OK) == 0) return beside;
    const std::string found = find_on_path(name);
    return found.empty() || found[0] == '/' ? found : working_folder() + "/" + found;
}

std::string substituted(std::string arg, const RunRecord& run, const std::string& expected_tone) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"{device}", &run.device},
        {"{image}", &run.image},
        {"{output}", &run.output},
        {"{expected_tone}", &expected_tone}};
    for (const auto& [name, value] : fields) {
        for (size_t at = arg.find(name); at != std::string::npos; at = arg.find(name, at)) {
            arg.replace(at, strlen(name), *value);
            at += value->size();
        }
    }
    return arg;
}

bool programs_found(const Sequence& sequence, const RunRecord* resumed) {
    for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
        const Step& step = sequence.steps[i];
        if (step.prompt) continue;  // the operator's: no program
        const std::string& program = resumed ? resumed->steps[i].argv[0] : step.run[0];
        if (find_program(program).empty()) {
            trouble(sequence.path + ": step " + step.name + ": program not found: " + program);
            return false;
        }
    }
    return true;
}

std::string sequence_file_of(const NewBoardRun& run) {
    const std::string path = run.sequence.empty()
                                 ? own_folder() + "/../share/orlix-suite/board-acceptance.toml"
                                 : run.sequence;
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}
