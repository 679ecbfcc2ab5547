#include "dist/MessageCatalog.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

} // namespace

Catalog ReadCodeMessages(const std::string& root)
{
    // The call, its level constant if any, and the adjacent literals that
    // open its format (none when the format is anything else).
    static const std::regex call(
        R"re(\b(WriteLog\(|LogCondition\(|printf\(|fprintf\(\s*std(?:out|err)\s*,)\s*)re"
        R"re((?:LOG_(DEBUG|INFO|WARNING|ERROR)\s*,\s*)?((?:"(?:[^"\\]|\\.)*"\s*)*))re");
    static const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
    static const std::regex relay(R"re(WriteLog\(\s*\w+\s*,\s*"%s\\n")re");
    Catalog catalog;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") {
            continue;
        }
        std::string source = ReadFile(entry.path());
        for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
            const std::smatch& match = *it;
            bool log = match[1] != "printf(" && match[1].str().compare(0, 8, "fprintf(") != 0;
            // The writer's and the gate's own declarations and definitions.
            if (log && match.position(0) >= 5 && source.compare(match.position(0) - 5, 5, "void ") == 0) {
                continue;
            }
            // The gate handing on a line its caller formatted: that caller's
            // message, read at its own call.
            if (std::regex_search(source.cbegin() + match.position(0), source.cend(), relay,
                                  std::regex_constants::match_continuous)) {
                continue;
            }
            if (match[3].length() == 0 || log != match[2].matched) {
                catalog.problems.push_back(entry.path().string() + ": " + match.str(0));
                continue;
            }
            std::string literals = match[3], text, spelled;
            for (std::sregex_iterator part(literals.begin(), literals.end(), literal); part != end; ++part) {
                std::string raw = part->str(1);
                spelled += raw;
                for (size_t i = 0; i < raw.size(); ++i) {
                    if (raw[i] != '\\' || i + 1 == raw.size()) {
                        text += raw[i];
                        continue;
                    }
                    // The escapes a message uses; others stand for themselves (\" \\).
                    char c = raw[++i];
                    text += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
                }
            }
            if (log) {
                catalog.formats.push_back(spelled);
            }
            text.erase(text.find_last_not_of("\r\n") + 1);
            catalog.messages.insert("[" + (log ? match[2].str() : "stdout") + "][" + text + "]");
        }
    }
    return catalog;
}

Catalog ReadPageMessages(const std::string& path)
{
    static const std::regex entry(R"(\\fB(\[[A-Za-z]+\]\[[^\\]*\])\\fR)");
    Catalog catalog;
    std::istringstream page(ReadFile(path));
    std::smatch match;
    for (std::string line; std::getline(page, line);) {
        if (line.compare(0, 4, "\\fB[") != 0) {
            continue;
        }
        if (std::regex_match(line, match, entry)) {
            catalog.messages.insert(match[1]);
        } else {
            // Not an entry, or one with a roff escape the reader does not decode.
            catalog.problems.push_back(path + ": " + line);
        }
    }
    return catalog;
}
