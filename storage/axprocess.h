#pragma once

#include <QProcess>

// A run of the cloud-drive program. A process object ends the program it still runs when it is
// destroyed, so every run lives in a scope of its own.
class AXProcess : public QProcess
{
    Q_OBJECT

public:
    explicit AXProcess(QObject *parent = nullptr);
    ~AXProcess() override;
};
