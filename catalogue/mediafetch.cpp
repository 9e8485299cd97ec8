#include "catalogue/mediafetch.h"

#include "base/log.h"
#include "base/settings.h"
#include "platform/programs.h"
#include "platform/regularfile.h"
#include "platform/trusteddirectory.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryFile>
#include <QtDebug>

#include <filesystem>
#include <system_error>

namespace {

// The download must start within the first wait and end within the second.
constexpr int programWaitMs = 30000;

// Whatever is at the name, a link or a device planted there included, is never followed or read.
QByteArray readBack(const QString &path)
{
    QByteArray content;
    return RegularFile::readAll(path, &content) ? content : QByteArray();
}

} // namespace

namespace MediaFetch {

QByteArray fetch(const QString &path)
{
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    const QString baseUrl = settings.value(Settings::ConsoleMediaBaseURL,
                                           QStringLiteral("http://localhost/media/")).toString();
    // The server downloads into it and reads back from it: another account able to write it, or
    // the directory holding it, could swap the files for links.
    const QString directory = Settings::mediaDirectory();
    for (const QString &trusted : {Settings::cacheDirectory(), directory}) {
        if (!TrustedDirectory::prepare(trusted)) {
            Log::error(QStringLiteral("Media directory '%1' refused: it must be a directory of the server's own "
                                      "user that no other account can write")
                           .arg(trusted));
            return QByteArray();
        }
    }

    // The last path component names the local copy; "" or ".." would name a directory.
    const QString fileName = path.section(QLatin1Char('/'), -1);
    if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return QByteArray();
    const QString localFile = directory + QLatin1Char('/') + fileName;

    // Each download gets a fresh private name and is renamed into place whole, so a reader
    // never sees another thread's half-written copy of the same file.
    QTemporaryFile download(directory + QStringLiteral("/.download-XXXXXX"));
    download.setAutoRemove(false);
    if (!download.open())
        return readBack(localFile);
    const QString downloadPath = download.fileName();
    // Readable like any file the program would have created itself.
    download.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                            | QFileDevice::ReadOther);
    download.close();
    auto removeDownload = qScopeGuard([&downloadPath] { QFile::remove(downloadPath); });

    const Programs::Result result = Programs::runWithWaits(
        QString::fromLatin1(Programs::WgetProgram),
        {QStringLiteral("-q"), QStringLiteral("-O"), downloadPath, baseUrl + path}, programWaitMs, programWaitMs);
    // Killed after its waits counts as a crash: never the copy an earlier download left.
    if (result.crashed || result.timedOut)
        return QByteArray();
    // A failed download keeps the copy from an earlier one instead of replacing it.
    if (result.started && result.exitCode == 0) {
        std::error_code error;
        std::filesystem::rename(QFile::encodeName(downloadPath).toStdString(),
                                QFile::encodeName(localFile).toStdString(), error);
        if (!error)
            removeDownload.dismiss();
        else
            AX_DEBUG("Cannot store %s: %s", qUtf8Printable(localFile), error.message().c_str());
    }
    return readBack(localFile);
}

} // namespace MediaFetch
