#include "support/LogFile.h"

#include <sys/stat.h>

#include <algorithm>
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
        // "[time][process(N)][TAG][message]": the tag is the third bracket.
        size_t tagStart = line.find("][", line.find("[process("));
        size_t tagEnd = tagStart == std::string::npos ? tagStart : line.find("][", tagStart + 2);
        if (tagEnd == std::string::npos || line.back() != ']') {
            messages.push_back(line);
            continue;
        }
        std::string tag = line.substr(tagStart + 2, tagEnd - tagStart - 2);
        messages.push_back(tag + " " + line.substr(tagEnd + 2, line.size() - tagEnd - 3));
    }
    return messages;
}

bool ScratchLog::Has(const std::string& tag, const std::string& message) const
{
    std::vector<std::string> messages = Messages();
    return std::find(messages.begin(), messages.end(), tag + " " + message) != messages.end();
}
