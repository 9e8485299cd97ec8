#include "cli/progressbar.h"

#include <cstdio>

ProgressBar::ProgressBar(qint64 total)
    : total(total)
{
}

void ProgressBar::update(qint64 done)
{
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    if (percent == shownPercent)
        return;
    shownPercent = percent;
    constexpr int width = 40;
    char bar[width + 1];
    const int filled = percent * width / 100;
    for (int i = 0; i < width; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[width] = '\0';
    constexpr double mebibyte = 1024.0 * 1024.0;
    std::fprintf(stderr, "\r[%s] %3d%% %.1f/%.1f MiB", bar, percent, double(done) / mebibyte,
                 double(total) / mebibyte);
    std::fflush(stderr);
}

void ProgressBar::finish()
{
    if (shownPercent >= 0)
        std::fputc('\n', stderr);
}
