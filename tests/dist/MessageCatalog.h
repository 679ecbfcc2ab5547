// Reads the messages an operator can meet, as "[LEVEL][text]", out of the
// daemon's sources and out of quelvar(8), so that a test can hold the two
// against each other.
#ifndef QUELVAR_TESTS_DIST_MESSAGECATALOG_H
#define QUELVAR_TESTS_DIST_MESSAGECATALOG_H

#include <set>
#include <string>
#include <vector>

struct Catalog {
    std::multiset<std::string> messages;
    // Each WriteLog format as spelled in the source: its adjacent literals
    // joined, escapes not resolved, line end kept.
    std::vector<std::string> formats;
    // What the reader could not judge; a non-empty list means the comparison
    // would be incomplete.
    std::vector<std::string> problems;
};

// Every WriteLog(LOG_<level>, "...") and LogCondition(LOG_<level>, "...")
// call, and every printf("...") or
// fprintf(stdout|stderr, "...") as level "stdout", in the .cpp and .h files
// under `root`. Adjacent literals are joined, escapes resolved and trailing
// CR and LF removed, as the log writer removes them.
Catalog ReadCodeMessages(const std::string& root);

// Every entry of the page: a line "\fB[LEVEL][text]\fR".
Catalog ReadPageMessages(const std::string& path);

#endif
