#include "support/spawn.h"

#include <fcntl.h>
#include <spawn.h>

#include <algorithm>

extern char** environ;

namespace {

std::string name_of(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

} // namespace

pid_t spawn_program(const SpawnSpec& spec) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name = name_of(*entry);
        const bool replaced =
            std::find(spec.unset.begin(), spec.unset.end(), name) != spec.unset.end() ||
            std::any_of(spec.set.begin(), spec.set.end(),
                        [&](const std::string& set) { return name_of(set) == name; });
        if (!replaced) {
            environment.emplace_back(*entry);
        }
    }
    for (const std::string& entry : spec.set) {
        const auto earlier =
            std::find_if(environment.begin(), environment.end(),
                         [&](const std::string& kept) { return name_of(kept) == name_of(entry); });
        if (earlier != environment.end()) {
            *earlier = entry;
        } else {
            environment.push_back(entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = spec.argv;
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (argv.size() < 2 || posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    bool ready = true;
    const int streams[3] = {spec.in, spec.out, spec.err};
    for (int target = 0; target < 3; ++target) {
        if (streams[target] >= 0) {
            ready =
                ready && posix_spawn_file_actions_adddup2(&actions, streams[target], target) == 0;
        }
    }
    pid_t pid = -1;
    if (!ready || posix_spawn(&pid, spec.path.empty() ? argv[0] : spec.path.c_str(), &actions,
                              nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int open_for_child(const std::string& path, bool append) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
}
