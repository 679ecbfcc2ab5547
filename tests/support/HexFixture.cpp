#include "support/HexFixture.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

std::map<std::string, Bytes> LoadHexFixture(const std::string& path, std::string* error)
{
    std::map<std::string, Bytes> records;
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read " + path;
        return {};
    }
    std::string line;
    std::string current;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        std::string text = line;
        if (!line.empty() && std::isspace(static_cast<unsigned char>(line[0])) == 0) {
            size_t colon = line.find(':');
            if (colon == std::string::npos) {
                *error = path + ":" + std::to_string(number) + ": record without a name";
                return {};
            }
            current = line.substr(0, colon);
            records[current].clear();
            text = line.substr(colon + 1);
        }
        std::istringstream words(text);
        std::string word;
        while (words >> word) {
            if (current.empty() || word.size() != 2 || std::isxdigit(static_cast<unsigned char>(word[0])) == 0 ||
                std::isxdigit(static_cast<unsigned char>(word[1])) == 0) {
                *error = path + ":" + std::to_string(number) + ": bad byte '" + word + "'";
                return {};
            }
            records[current].push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
        }
    }
    return records;
}

std::string ToHex(const Bytes& bytes)
{
    std::string text;
    char byte[4];
    for (unsigned char value : bytes) {
        std::snprintf(byte, sizeof(byte), "%02x", value);
        if (!text.empty()) {
            text += ' ';
        }
        text += byte;
    }
    return text;
}
