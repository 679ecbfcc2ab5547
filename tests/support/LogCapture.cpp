#include "support/LogCapture.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "sys/Log.h"

LogCapture::LogCapture() : mount("/var/log")
{
    ready = mount.ok() && mkdir(LOG_DIR, LOG_DIR_MODE) == 0;
}

std::vector<std::string> LogCapture::Lines() const
{
    std::vector<std::string> lines;
    std::ifstream file(LOG_FILE);
    std::string line;
    while (std::getline(file, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LogCapture::Messages() const
{
    std::vector<std::string> messages;
    for (const std::string& line : Lines()) {
        // "[time][process(tid)]" precede the level tag.
        size_t process = line.find("][process(");
        size_t tag = process == std::string::npos ? std::string::npos : line.find("]", process + 1);
        messages.push_back(tag == std::string::npos ? line : line.substr(tag + 1));
    }
    return messages;
}

size_t LogCapture::Count(const std::string& text) const
{
    size_t count = 0;
    for (const std::string& message : Messages()) {
        count += message.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

std::string LogCapture::Text() const
{
    std::ifstream file(LOG_FILE);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text;
}

void LogCapture::Clear() const
{
    (void)std::remove(LOG_FILE);
}
