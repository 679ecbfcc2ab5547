#include "dist/MessageCatalog.h"

#include <cctype>
#include <cstddef>
#include <map>
#include <regex>

namespace {

enum class TokenKind { Name, Literal, Punct };

struct Token {
    TokenKind kind;
    std::string text; // a name, a decoded literal, or one punctuation character
    int line;
};

// Decodes the C escape at source[pos] (just after the backslash) into out and
// returns the position after it.
size_t DecodeEscape(const std::string& source, size_t pos, std::string& out)
{
    static const std::map<char, char> simple = {{'n', '\n'}, {'r', '\r'}, {'t', '\t'},  {'\\', '\\'},
                                                {'"', '"'},  {'\'', '\''}, {'?', '?'},  {'a', '\a'},
                                                {'b', '\b'}, {'f', '\f'},  {'v', '\v'}};
    if (pos >= source.size()) {
        return pos;
    }
    char c = source[pos];
    auto found = simple.find(c);
    if (found != simple.end()) {
        out += found->second;
        return pos + 1;
    }
    if (c == 'x') {
        size_t end = pos + 1;
        while (end < source.size() && isxdigit(static_cast<unsigned char>(source[end])) != 0) {
            ++end;
        }
        out += static_cast<char>(std::stoi(source.substr(pos + 1, end - pos - 1), nullptr, 16));
        return end;
    }
    size_t end = pos;
    while (end < source.size() && end < pos + 3 && source[end] >= '0' && source[end] <= '7') {
        ++end;
    }
    if (end > pos) {
        out += static_cast<char>(std::stoi(source.substr(pos, end - pos), nullptr, 8));
        return end;
    }
    out += c;
    return pos + 1;
}

// Splits C++ source into names, decoded string literals and punctuation,
// dropping comments, whitespace and character literals.
std::vector<Token> Tokenize(const std::string& source)
{
    std::vector<Token> tokens;
    int line = 1;
    size_t pos = 0;
    while (pos < source.size()) {
        char c = source[pos];
        if (c == '\n') {
            ++line;
            ++pos;
        } else if (isspace(static_cast<unsigned char>(c)) != 0) {
            ++pos;
        } else if (source.compare(pos, 2, "//") == 0) {
            pos = source.find('\n', pos);
            pos = pos == std::string::npos ? source.size() : pos;
        } else if (source.compare(pos, 2, "/*") == 0) {
            size_t end = source.find("*/", pos + 2);
            end = end == std::string::npos ? source.size() : end + 2;
            for (size_t i = pos; i < end; ++i) {
                line += source[i] == '\n' ? 1 : 0;
            }
            pos = end;
        } else if (c == '"' || c == '\'') {
            Token token{c == '"' ? TokenKind::Literal : TokenKind::Punct, "", line};
            ++pos;
            while (pos < source.size() && source[pos] != c && source[pos] != '\n') {
                if (source[pos] == '\\') {
                    pos = DecodeEscape(source, pos + 1, token.text);
                } else {
                    token.text += source[pos++];
                }
            }
            ++pos;
            if (token.kind == TokenKind::Literal) {
                tokens.push_back(token);
            }
        } else if (isalnum(static_cast<unsigned char>(c)) != 0 || c == '_') {
            size_t end = pos;
            while (end < source.size() &&
                   (isalnum(static_cast<unsigned char>(source[end])) != 0 || source[end] == '_')) {
                ++end;
            }
            // An encoding prefix belongs to the literal that follows it.
            std::string name = source.substr(pos, end - pos);
            bool prefix = (name == "u8" || name == "u" || name == "U" || name == "L") && end < source.size() &&
                          source[end] == '"';
            if (!prefix) {
                tokens.push_back({TokenKind::Name, name, line});
            }
            pos = end;
        } else {
            tokens.push_back({TokenKind::Punct, std::string(1, c), line});
            ++pos;
        }
    }
    return tokens;
}

using Argument = std::vector<Token>;

// The arguments of the call whose "(" is at tokens[open], split at top-level
// commas; `close` receives the index of the matching ")".
std::vector<Argument> SplitArguments(const std::vector<Token>& tokens, size_t open, size_t& close)
{
    std::vector<Argument> arguments(1);
    int depth = 0;
    for (close = open + 1; close < tokens.size(); ++close) {
        const Token& token = tokens[close];
        if (token.kind == TokenKind::Punct) {
            const std::string& p = token.text;
            if (p == ")" && depth == 0) {
                break;
            }
            if (p == "(" || p == "[" || p == "{") {
                ++depth;
            } else if (p == ")" || p == "]" || p == "}") {
                --depth;
            } else if (p == "," && depth == 0) {
                arguments.emplace_back();
                continue;
            }
        }
        arguments.back().push_back(token);
    }
    if (arguments.size() == 1 && arguments.front().empty()) {
        arguments.clear();
    }
    return arguments;
}

bool IsSingleName(const Argument& argument, const std::string& name)
{
    return argument.size() == 1 && argument.front().kind == TokenKind::Name && argument.front().text == name;
}

// A prototype or definition ("int level", "const char* format", "...")
// rather than a call.
bool IsDeclaration(const std::vector<Argument>& arguments)
{
    for (const Argument& argument : arguments) {
        if (argument.size() >= 3 && argument[0].text == "." && argument[1].text == "." && argument[2].text == ".") {
            return true;
        }
    }
    return !arguments.empty() && arguments[0].size() == 2 && arguments[0][0].text == "int" &&
           arguments[0][1].kind == TokenKind::Name;
}

std::string LevelOf(const Argument& argument)
{
    static const std::map<std::string, std::string> levels = {
        {"LOG_DEBUG", "DEBUG"}, {"LOG_INFO", "INFO"}, {"LOG_WARNING", "WARNING"}, {"LOG_ERROR", "ERROR"}};
    if (argument.size() == 1) {
        auto found = levels.find(argument.front().text);
        if (found != levels.end()) {
            return found->second;
        }
    }
    return "";
}

// Concatenates a format made only of adjacent literals; false when anything
// else (a variable, a PRIu64 macro) takes part in it.
bool JoinLiterals(const Argument& argument, std::string& text)
{
    if (argument.empty()) {
        return false;
    }
    for (const Token& token : argument) {
        if (token.kind != TokenKind::Literal) {
            return false;
        }
        text += token.text;
    }
    return true;
}

// The log writer strips every trailing CR and LF; standard output keeps
// them, but the journal shows one line either way.
std::string StripLineEnds(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace

Catalog ReadCodeMessages(const std::string& source, const std::string& fileName)
{
    Catalog catalog;
    std::vector<Token> tokens = Tokenize(source);
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        const Token& name = tokens[i];
        if (name.kind != TokenKind::Name || tokens[i + 1].text != "(" ||
            (name.text != "WriteLog" && name.text != "printf" && name.text != "fprintf")) {
            continue;
        }
        size_t close = 0;
        std::vector<Argument> arguments = SplitArguments(tokens, i + 1, close);
        std::string where = fileName + ":" + std::to_string(name.line);
        size_t formatIndex = 0;
        std::string level = STDOUT_LEVEL;
        if (name.text == "WriteLog") {
            if (IsDeclaration(arguments)) {
                continue;
            }
            formatIndex = 1;
            level = arguments.empty() ? "" : LevelOf(arguments[0]);
        } else if (name.text == "fprintf") {
            // Only what goes to the journal counts; fprintf into the log file
            // writes the line that WriteLog composed.
            if (arguments.empty() || (!IsSingleName(arguments[0], "stdout") && !IsSingleName(arguments[0], "stderr"))) {
                continue;
            }
            formatIndex = 1;
        }
        std::string text;
        if (arguments.size() <= formatIndex || !JoinLiterals(arguments[formatIndex], text)) {
            catalog.problems.push_back(where + ": " + name.text + " with a format that is not a string literal");
            continue;
        }
        catalog.messages.push_back({level, StripLineEnds(text), where});
        i = close;
    }
    return catalog;
}

Catalog ReadPageMessages(const std::string& page, const std::string& fileName)
{
    // roff escapes a message may need; anything else is reported rather than
    // guessed.
    static const std::map<std::string, std::string> escapes = {
        {"\\-", "-"}, {"\\e", "\\"}, {"\\\\", "\\"}, {"\\&", ""}, {"\\(dq", "\""}, {"\\(aq", "'"}, {"\\ ", " "}};
    static const std::regex entry(R"(^\\fB\[([A-Za-z]+)\]\[(.*)\]\\fR$)");
    Catalog catalog;
    size_t start = 0;
    int line = 0;
    while (start < page.size()) {
        size_t end = page.find('\n', start);
        end = end == std::string::npos ? page.size() : end;
        std::string text = page.substr(start, end - start);
        start = end + 1;
        ++line;
        if (text.compare(0, 4, "\\fB[") != 0) {
            continue;
        }
        std::string where = fileName + ":" + std::to_string(line);
        std::smatch match;
        if (!std::regex_match(text, match, entry)) {
            catalog.problems.push_back(where + ": not a message entry: " + text);
            continue;
        }
        std::string raw = match[2].str();
        std::string decoded;
        bool known = true;
        for (size_t pos = 0; pos < raw.size();) {
            if (raw[pos] != '\\') {
                decoded += raw[pos++];
                continue;
            }
            auto found = escapes.end();
            for (auto it = escapes.begin(); it != escapes.end(); ++it) {
                if (raw.compare(pos, it->first.size(), it->first) == 0) {
                    found = it;
                    break;
                }
            }
            if (found == escapes.end()) {
                known = false;
                break;
            }
            decoded += found->second;
            pos += found->first.size();
        }
        if (!known) {
            catalog.problems.push_back(where + ": unknown roff escape in " + raw);
            continue;
        }
        catalog.messages.push_back({match[1].str(), decoded, where});
    }
    return catalog;
}
