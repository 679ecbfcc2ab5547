// Reads the messages an operator can meet out of the daemon's sources and out
// of quelvar(8), so that a test can hold the two against each other.
#ifndef QUELVAR_TESTS_DIST_MESSAGECATALOG_H
#define QUELVAR_TESTS_DIST_MESSAGECATALOG_H

#include <string>
#include <vector>

// Level of a message printed on standard output rather than logged.
constexpr const char* STDOUT_LEVEL = "stdout";

struct CatalogMessage {
    // "DEBUG", "INFO", "WARNING", "ERROR", STDOUT_LEVEL, or empty when the
    // code passes a level that is not one of the LOG_ constants.
    std::string level;
    // The text as it reaches the log: escapes resolved, trailing CR and LF
    // removed as the log writer removes them.
    std::string text;
    // "file:line" in the code, or "quelvar.8:line" on the page.
    std::string where;
};

struct Catalog {
    std::vector<CatalogMessage> messages;
    // Things the reader could not judge, each with its place; a non-empty
    // list means the comparison would be incomplete.
    std::vector<std::string> problems;
};

// Every WriteLog(level, "...") and printf("...") / fprintf(stdout, "...")
// call in one C++ source text. Literals may be split, concatenated and spread
// over lines; comments, character literals and declarations are skipped.
Catalog ReadCodeMessages(const std::string& source, const std::string& fileName);

// Every message entry of the page: a line "\fB[LEVEL][text]\fR".
Catalog ReadPageMessages(const std::string& page, const std::string& fileName);

#endif
