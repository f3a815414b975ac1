#pragma once

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

// A monotonic clock in milliseconds, and the median of repeated runs.
inline double now_ms()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// How many times to repeat a measure: `usual`, or the count that
// KESTROVA_BENCH_RUNS gives (1 for the gate's smoke run, which checks that
// every benchmark reaches its end and reads no figure).
inline int bench_runs(int usual)
{
    const char* given = std::getenv("KESTROVA_BENCH_RUNS");
    const int runs = given ? std::atoi(given) : 0;
    return runs > 0 ? runs : usual;
}

#ifdef KESTROVA_SOURCE_DIR
// The hub "lumieres" made in `root` from the project's template, with
// Debian's django-admin, as the keeper's README makes one by hand.
inline int make_template_hub(const std::string& root)
{
    return std::system(("cd '" + root + "' && PATH=/usr/bin:$PATH django-admin startproject lumieres && cp '"
                        KESTROVA_SOURCE_DIR "/template/settings.py' '" KESTROVA_SOURCE_DIR "/template/urls.py' lumieres/lumieres/"
                        " && for f in hubs ressources templates static; do cp -r '" KESTROVA_SOURCE_DIR "/template/'$f lumieres/lumieres/; done")
                           .c_str());
}
#endif
