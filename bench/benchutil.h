#pragma once

#include <QVector>

#include <algorithm>
#include <cstdio>

// Prints the median and the worst of a series of timings in milliseconds.
inline void printFigures(const char *what, QVector<double> ms, const char *target)
{
    std::sort(ms.begin(), ms.end());
    const double median = ms.isEmpty() ? 0.0 : ms.at(ms.size() / 2);
    const double worst = ms.isEmpty() ? 0.0 : ms.last();
    std::printf("%-44s n=%-4d median %8.2f ms  worst %8.2f ms   (target: %s)\n", what,
                int(ms.size()), median, worst, target);
    std::fflush(stdout);
}
