#include "support/ProcessWatch.h"

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <thread>

size_t OpenDescriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    (void)closedir(dir);
    return count;
}

bool ProcessEnded(pid_t pid)
{
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
         std::chrono::steady_clock::now() < until;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string skip, state;
        if (!(stat >> skip >> skip >> state) || state == "Z") {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<pid_t> PidsIn(const std::string& file)
{
    std::vector<pid_t> pids;
    std::ifstream in(file);
    for (pid_t pid = 0; in >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

std::string ScriptLeavingAChild(const std::string& file)
{
    return "echo $$ > " + file + "; sleep 30 & echo $! >> " + file + "; wait";
}
