#pragma once
#include <string>

// first, then "/" and each further argument up to the terminating nullptr.
// No separator folding: BuildPath("a/", "b", nullptr) is "a//b".
std::string BuildPath(const char *first, ...) __attribute__((sentinel));
