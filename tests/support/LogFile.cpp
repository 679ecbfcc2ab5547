#include "support/LogFile.h"

#include <sys/stat.h>

#include <fstream>

#include "sys/Log.h"

ScratchLog::ScratchLog() : mount(std::make_unique<ScratchMount>("/var/log"))
{
    created = mount->ok() && mkdir(LOG_DIR, 0750) == 0;
}

std::vector<std::string> ScratchLog::Lines() const
{
    std::vector<std::string> lines;
    std::ifstream log(LOG_FILE);
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ScratchLog::Messages() const
{
    std::vector<std::string> messages;
    for (const std::string& line : Lines()) {
        size_t tag = line.find(")][");
        messages.push_back(tag == std::string::npos ? line : line.substr(tag + 2));
    }
    return messages;
}
