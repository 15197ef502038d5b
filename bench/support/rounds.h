// What every hand-run benchmark program needs around its rounds: reading its
// [rows] [rounds] arguments and the median of what the rounds measured.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace kelvobench {

// 0 for no values, so that a program run with zero rounds still prints.
inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Command-line argument `index` as a number, or `fallback` when it is not given.
inline long ArgOr(int argc, char** argv, int index, long fallback) {
    return argc > index ? std::strtol(argv[index], nullptr, 10) : fallback;
}

}  // namespace kelvobench
