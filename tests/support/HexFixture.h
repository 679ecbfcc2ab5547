// Named byte strings kept as commented hex text under tests/data/.
//
//   # MODE SENSE(10), header pass
//   mode_sense10_header: 5a 00 08 00 00 00 00 00 08 00
//     (a line starting with white space continues the previous record)
//
// Everything after '#' is a comment.
#ifndef QUELVAR_TESTS_SUPPORT_HEXFIXTURE_H
#define QUELVAR_TESTS_SUPPORT_HEXFIXTURE_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Reads a fixture file; an unreadable or malformed file yields an empty map
// and a reason in *error.
std::map<std::string, Bytes> LoadHexFixture(const std::string& path, std::string* error);

// "5a 00 08" for readable comparisons in test failures.
std::string ToHex(const Bytes& bytes);

#endif
