#include "support/spawn.h"

#include <fcntl.h>
#include <spawn.h>

#include <map>

extern char** environ;

namespace {

std::string name_of(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

} // namespace

pid_t spawn_program(const ChildLaunch& launch) {
    std::map<std::string, std::string> entries; // by name
    for (char** entry = environ; *entry != nullptr; ++entry) {
        entries[name_of(*entry)] = *entry;
    }
    for (const std::string& name : launch.unset) {
        entries.erase(name);
    }
    for (const std::string& entry : launch.set) {
        entries[name_of(entry)] = entry;
    }
    std::vector<char*> envp;
    for (auto& named : entries) {
        envp.push_back(&named.second[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = launch.argv;
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
    const int streams[3] = {launch.in, launch.out, launch.err};
    for (int target = 0; target < 3; ++target) {
        if (streams[target] >= 0) {
            ready =
                ready && posix_spawn_file_actions_adddup2(&actions, streams[target], target) == 0;
        }
    }
    pid_t pid = -1;
    if (!ready || posix_spawn(&pid, launch.path.empty() ? argv[0] : launch.path.c_str(), &actions,
                              nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int open_for_child(const std::string& path, bool append) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
}
