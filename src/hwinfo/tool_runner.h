// Runs a helper program with its output in a pipe, bounded in time and size.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Standard output of argv (searched on PATH), at most maxBytes. A program that
// cannot start gives ""; one still running at the time limit is killed and
// what it wrote so far is returned.
std::string RunToolOutput(const std::vector<std::string>& argv, int timeLimitMs, size_t maxBytes);
