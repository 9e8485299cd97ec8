#include "storage/cloudprogram.h"

#include "platform/privileged.h"

#include <QFileInfo>

namespace {

const QString programPath = QStringLiteral("/usr/bin/managecloud");

} // namespace

namespace CloudProgram {

bool isInstalled()
{
    return QFileInfo::exists(programPath);
}

Run run(const QStringList &arguments, Waits waits)
{
    // The privileged side runs it; an argument that would read as an option is never run.
    Run result;
    if (arguments.size() < 3 || arguments.size() > 4)
        return result;
    const Privileged::CloudRun run = Privileged::manageCloud(arguments.at(0), arguments.at(1), arguments.at(2),
                                                             arguments.value(3), waits == Waits::StartThenFinish);
    result.succeeded = run.succeeded;
    result.standardOutput = run.standardOutput;
    return result;
}

} // namespace CloudProgram
