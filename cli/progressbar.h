#pragma once

#include <QtGlobal>

// A one-line progress bar on standard error, redrawn only when the percentage changes.
class ProgressBar
{
public:
    explicit ProgressBar(qint64 total);
    void update(qint64 done);
    void finish();

private:
    qint64 total;
    int shownPercent = -1;
};
