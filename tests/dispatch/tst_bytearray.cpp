// Icons and logos as length-prefixed replies, fetched by a stand-in download program placed
// first in the server's PATH; it records its arguments and serves files of its media folder.
#include "testclient.h"
#include "testdatabase.h"
#include "testserver.h"
#include "tokenuser.h"

#include <QtEndian>
#include <QtTest>

namespace {

const char fakeDownloader[] = R"sh(#!/bin/sh
dir=$(dirname "$0")
printf '%s\n' "$@" > "$dir/last-call"
out=$3
path=${4#http://media.axt6.invalid/}
case "$(cat "$dir/mode" 2>/dev/null)" in
fail) exit 8 ;;
slow)
    head -c 1000 "$dir/media/$path" > "$out"
    : > "$dir/waiting"
    i=0
    while [ ! -e "$dir/release" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done ;;
esac
[ -f "$dir/media/$path" ] || exit 8
cat "$dir/media/$path" > "$out"
)sh";

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) % 251);
    return bytes;
}

} // namespace

class ByteArrayTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void payloads_data();
    void payloads();
    void downloadCommandLine();
    void concurrentFetchOfOneFile();
    void recordLoadedAcrossUpdateIsNotKept();
    void notAuthenticatedIsUnframed();

private:
    QString id(int n) const { return QString::number(base + n); }
    QString mediaName(const QString &stem) const { return prefix + stem + ".png"; }
    void putMedia(const QString &stem, const QByteArray &bytes);
    void setMode(const QByteArray &mode);
    // Sends a request and reads one framed reply; the payload, after checking the prefix.
    QByteArray framed(TestClient &c, const QString &request);
    QByteArray readFramed(TestClient &c);

    const qint64 pid = QCoreApplication::applicationPid();
    const int base = 90000 + int(pid % 4000) * 25 + 10;
    const QString prefix = QStringLiteral("axt6_%1_").arg(pid);
    const QByteArray bigIcon = pattern(70000, 3);
    const QByteArray logo = pattern(333, 5);
    QTemporaryDir fakeDir;
    TestDatabase db;
    std::unique_ptr<TokenUser> user;
    std::unique_ptr<TokenUser> loneUser;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
};

void ByteArrayTest::putMedia(const QString &stem, const QByteArray &bytes)
{
    QFile f(fakeDir.path() + "/media/icons/" + mediaName(stem));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

void ByteArrayTest::setMode(const QByteArray &mode)
{
    QFile f(fakeDir.path() + "/mode");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(mode);
}

QByteArray ByteArrayTest::readFramed(TestClient &c)
{
    const QByteArray prefixBytes = c.receiveExactly(4);
    if (prefixBytes.size() != 4)
        return "(no length prefix)";
    const quint32 length = qFromBigEndian<quint32>(prefixBytes.constData());
    const QByteArray payload = c.receiveExactly(int(length));
    return payload.size() == int(length) ? payload : QByteArray("(short payload)");
}

QByteArray ByteArrayTest::framed(TestClient &c, const QString &request)
{
    if (!c.send(request.toUtf8()))
        return "(not sent)";
    return readFramed(c);
}

void ByteArrayTest::initTestCase()
{
    QVERIFY2(db.lastError().isEmpty(), qPrintable(db.lastError()));
    QVERIFY(QDir().mkpath(fakeDir.path() + "/media/icons"));
    QFile fake(fakeDir.path() + "/wget");
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write(fakeDownloader);
    fake.close();
    QVERIFY(fake.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    putMedia("big", bigIcon);
    putMedia("logo", logo);

    user = std::make_unique<TokenUser>(db, prefix + "img");
    loneUser = std::make_unique<TokenUser>(db, prefix + "lone");
    QVERIFY(user->isCreated() && loneUser->isCreated());
    const QString icon = "icons/" + prefix;
    QVERIFY(db.exec(QString("INSERT INTO ax_application (id, name, icon) VALUES (%1, 'big', '%4big.png'), "
                            "(%2, 'none', NULL), (%3, 'race', '%4race.png')")
                        .arg(id(1), id(2), id(3), icon)));
    QVERIFY(db.exec(QString("INSERT INTO ax_applicationgroup (id, name, icon) VALUES (%1, 'g', '%3shared.png'), "
                            "(%2, 'plain', NULL)")
                        .arg(id(1), id(2), icon)));
    // The user's first group supplies the logo.
    QVERIFY(db.exec(QString("INSERT INTO ax_usergroup (id, name, logo) VALUES (%1, 'first', '%3logo.png'), "
                            "(%2, 'second', '%3big.png')")
                        .arg(id(1), id(2), icon)));
    QVERIFY(db.exec(QString("INSERT INTO ax_usergroup_users (usergroup_id, user_id) VALUES (%1, '%3'), (%2, '%3')")
                        .arg(id(1), id(2), user->name())));

    server = std::make_unique<TestServer>();
    server->setEnv("PATH", fakeDir.path() + ":" + qEnvironmentVariable("PATH"));
    server->setSetting("Server/ConsoleMediaBaseURL", "http://media.axt6.invalid/");
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request(user->loginRequest()), QByteArray("Authentication ok.\n"));
}

void ByteArrayTest::cleanupTestCase()
{
    client.reset();
    if (server) {
        server->interrupt();
        server->waitForExit();
    }
    const QString ids = QString("%1 AND %2").arg(base + 1).arg(base + 9);
    db.exec("DELETE FROM ax_application WHERE id BETWEEN " + ids);
    db.exec("DELETE FROM ax_applicationgroup WHERE id BETWEEN " + ids);
    db.exec("DELETE FROM ax_usergroup WHERE id BETWEEN " + ids);
    db.exec("DELETE FROM ax_usergroup_users WHERE usergroup_id BETWEEN " + ids);
    user.reset();
    loneUser.reset();
    for (const QString &name : QDir("/tmp/axserver").entryList({prefix + "*"}, QDir::Files))
        QFile::remove("/tmp/axserver/" + name);
}

void ByteArrayTest::init()
{
    setMode("serve");
    QFile::remove(fakeDir.path() + "/waiting");
    QFile::remove(fakeDir.path() + "/release");
}

void ByteArrayTest::payloads_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QByteArray>("payload"); // null: a formatted error, matched by errorPattern
    QTest::addColumn<QString>("errorPattern");
    const QString countError = "^Error: Invalid number of parameters for ByteArray command %1\\(.+\\)$";
    QTest::newRow("70000-byte icon") << "_byteArray_get_application_icon?" + id(1) << bigIcon << QString();
    QTest::newRow("application without icon") << "_byteArray_get_application_icon?" + id(2) << QByteArray("") << QString();
    QTest::newRow("unknown application") << "_byteArray_get_application_icon?" + id(9) << QByteArray("") << QString();
    QTest::newRow("group without icon") << "_byteArray_get_application_group_icon?" + id(2) << QByteArray("") << QString();
    QTest::newRow("first group's logo") << "_byteArray_get_user_logo?" + prefix + "img" << logo << QString();
    QTest::newRow("logo, domain dropped") << "_byteArray_get_user_logo?DOM\\" + prefix + "img" << logo << QString();
    QTest::newRow("logo, no group") << "_byteArray_get_user_logo?" + prefix + "lone" << QByteArray("") << QString();
    QTest::newRow("no parameter") << "_byteArray_get_application_icon" << QByteArray()
                                  << countError.arg("_byteArray_get_application_icon");
    QTest::newRow("two parameters") << "_byteArray_get_user_logo?a&b" << QByteArray()
                                    << countError.arg("_byteArray_get_user_logo");
    QTest::newRow("unknown command") << "_byteArray_get_wallpaper?1" << QByteArray()
                                     << "^Error: Unknown ByteArray command _byteArray_get_wallpaper\\(.+\\)$";
}

void ByteArrayTest::payloads()
{
    QFETCH(QString, request);
    QFETCH(QByteArray, payload);
    QFETCH(QString, errorPattern);
    const QByteArray got = framed(*client, request);
    if (payload.isNull())
        QVERIFY2(QRegularExpression(errorPattern).match(QString::fromUtf8(got)).hasMatch(), got.constData());
    else
        QCOMPARE(got, payload);
}

void ByteArrayTest::downloadCommandLine()
{
    // Through the logo: the application icon was fetched once already and is cached since.
    QVERIFY(db.exec(QString("UPDATE ax_usergroup SET logo='icons/%1' WHERE id=%2").arg(mediaName("big"), id(1))));
    QVERIFY(client->send(("_byteArray_get_user_logo?" + prefix + "img").toUtf8()));
    QCOMPARE(client->receiveExactly(4), QByteArray("\x00\x01\x11\x70", 4));
    QCOMPARE(client->receiveExactly(70000), bigIcon);
    QFile call(fakeDir.path() + "/last-call");
    QVERIFY(call.open(QIODevice::ReadOnly));
    const QStringList args = QString::fromUtf8(call.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(args.size(), 4);
    QCOMPARE(args.mid(0, 2), QStringList({"-q", "-O"}));
    // Downloaded under a private name in the media directory, then renamed into place.
    QVERIFY2(args[2].startsWith("/tmp/axserver/") && !QFile::exists(args[2]), qPrintable(args[2]));
    QCOMPARE(args[3], "http://media.axt6.invalid/icons/" + mediaName("big"));
    QFile local("/tmp/axserver/" + mediaName("big"));
    QVERIFY(local.open(QIODevice::ReadOnly));
    QCOMPARE(local.readAll(), bigIcon);
    QVERIFY(db.exec(QString("UPDATE ax_usergroup SET logo='icons/%1' WHERE id=%2").arg(mediaName("logo"), id(1))));
}

// A slow download of a file must not be seen half-written by another request for the same file.
void ByteArrayTest::concurrentFetchOfOneFile()
{
    const QString request = "_byteArray_get_application_group_icon?" + id(1);
    const QByteArray earlier = pattern(5000, 17);
    const QByteArray newer = pattern(5000, 29);
    putMedia("shared", earlier);
    QCOMPARE(framed(*client, request), earlier);

    putMedia("shared", newer);
    setMode("slow");
    QVERIFY(client->send(request.toUtf8()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(fakeDir.path() + "/waiting"), 10000);

    setMode("fail");
    TestClient second(server->port());
    QCOMPARE(second.request(user->loginRequest()), QByteArray("Authentication ok.\n"));
    QCOMPARE(framed(second, request), earlier);

    QFile release(fakeDir.path() + "/release");
    QVERIFY(release.open(QIODevice::WriteOnly));
    QCOMPARE(readFramed(*client), newer);
    QCOMPARE(framed(second, request), newer);
}

// A record read before "application_updated" and stored after it would hide the change for good.
void ByteArrayTest::recordLoadedAcrossUpdateIsNotKept()
{
    putMedia("race", pattern(100, 1));
    setMode("slow");
    QVERIFY(client->send(("get_application_name?" + id(3)).toUtf8()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(fakeDir.path() + "/waiting"), 10000);

    QVERIFY(db.exec(QString("UPDATE ax_application SET name='renamed' WHERE id=%1").arg(id(3))));
    TestClient second(server->port());
    QCOMPARE(second.request(user->loginRequest()), QByteArray("Authentication ok.\n"));
    QCOMPARE(second.request(("application_updated?" + id(3)).toUtf8()), QByteArray("\n"));

    QFile release(fakeDir.path() + "/release");
    QVERIFY(release.open(QIODevice::WriteOnly));
    QCOMPARE(client->receive(20000), QByteArray("race\n"));
    setMode("serve");
    QCOMPARE(second.request(("get_application_name?" + id(3)).toUtf8()), QByteArray("renamed\n"));
}

void ByteArrayTest::notAuthenticatedIsUnframed()
{
    TestClient anonymous(server->port());
    QVERIFY(anonymous.send(("_byteArray_get_application_icon?" + id(1)).toUtf8()));
    QCOMPARE(anonymous.receiveExactly(17), QByteArray("Not authenticated"));
    QVERIFY(anonymous.staysSilent(300));
}

QTEST_GUILESS_MAIN(ByteArrayTest)
#include "tst_bytearray.moc"
