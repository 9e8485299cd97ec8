#include "storage/axprocess.h"

AXProcess::AXProcess(QObject *parent)
    : QProcess(parent)
{
}

AXProcess::~AXProcess()
{
    // QProcess would warn and then kill; ending it here keeps the destructor quiet and certain.
    if (state() != QProcess::NotRunning) {
        kill();
        waitForFinished(5000);
    }
}
