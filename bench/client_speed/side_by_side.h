// Runs a case and its anchor in alternating rounds on a noisy host and prints
// the medians and their ratio, so that every figure of a client-speed
// benchmark is measured beside the thing it is compared with.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/rounds.h"

namespace kelvobench {

struct Sample {
    double wallSeconds = 0;
    double cpuSeconds = 0;  // the whole process: every client thread, no server
};

inline double ClockSeconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline Sample Measure(const std::function<void()>& run) {
    const double wall = ClockSeconds(CLOCK_MONOTONIC);
    const double cpu = ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    run();
    return {ClockSeconds(CLOCK_MONOTONIC) - wall, ClockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu};
}

struct Contender {
    std::string name;
    std::function<void()> run;
    std::vector<Sample> samples;
};

// The median wall or CPU seconds of a contender's samples.
inline double MedianOf(const Contender& c, bool wall) {
    std::vector<double> v;
    for (const Sample& s : c.samples)
        v.push_back(wall ? s.wallSeconds : s.cpuSeconds);
    return Median(v);
}

// Runs every contender once per round, the order rotating from round to
// round, after one unmeasured warm-up round; contenders[0] is the anchor.
// Prints one line per contender: median wall and CPU seconds, and the ratio
// of its median CPU (or wall, when `byWall`) to the anchor's.
inline void RunSideBySide(const char* title, std::vector<Contender>& contenders, int rounds, bool byWall = false) {
    for (auto& c : contenders)
        c.run();
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < contenders.size(); ++i) {
            Contender& c = contenders[(i + static_cast<size_t>(round)) % contenders.size()];
            c.samples.push_back(Measure(c.run));
        }
    }
    const double anchor = MedianOf(contenders[0], byWall);
    std::printf("%s (medians of %d rounds)\n", title, rounds);
    for (const Contender& c : contenders) {
        const double wall = MedianOf(c, true);
        const double cpu = MedianOf(c, false);
        std::printf("  %-34s wall %8.1f ms  cpu %8.1f ms  %s ratio %.2fx\n", c.name.c_str(), wall * 1e3, cpu * 1e3,
                    byWall ? "wall" : "cpu", (byWall ? wall : cpu) / anchor);
    }
    std::fflush(stdout);
}

}  // namespace kelvobench
