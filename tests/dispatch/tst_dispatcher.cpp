// The dispatcher seen by logged-in clients: name and count matching, formatted errors, the
// commands that live in the dispatcher itself; session and application events as rows of "ax_log"
// reported from client addresses of this run's own (loopback sources); and icons and logos as
// length-prefixed replies, fetched by a stand-in download program first in the server's PATH.
#include "fakeprogram.h"
#include "testdatabase.h"
#include "testfiles.h"
#include "testserver.h"
#include "tokenuser.h"

#include <QtEndian>
#include <QtTest>

namespace {

// Modes: "fail", or "slow" (writes a part, says it is waiting, finishes once released).
const char downloader[] = R"sh(out=$3
path=$d/media/${4#http://media.axt6.invalid/}
case "$(cat "$d/mode" 2>/dev/null)" in
fail) exit 8 ;;
slow)
    head -c 1000 "$path" > "$out"
    : > "$d/waiting"
    i=0
    while [ ! -e "$d/release" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done ;;
esac
[ -f "$path" ] || exit 8
cat "$path" > "$out"
)sh";

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) % 251);
    return bytes;
}

} // namespace

class DispatcherTest : public QObject
{
    Q_OBJECT

    QString id(int n) const { return QString::number(base + n); }
    QString mediaName(const QString &stem) const { return prefix + stem + ".png"; }
    bool putMedia(const QString &stem, const QByteArray &bytes)
    {
        return writeFile(wget.directory() + "/media/icons/" + mediaName(stem), bytes);
    }
    bool setMode(const QByteArray &mode) { return writeFile(wget.directory() + "/mode", mode); }
    bool release() { return writeFile(wget.directory() + "/release", ""); }
    bool isWaiting() const { return QFile::exists(wget.directory() + "/waiting"); }
    std::unique_ptr<TestClient> login(const char *source = nullptr)
    {
        return server.login(user.name().toUtf8(), user.token(), source);
    }
    QString lastRowOf(const QString &column)
    {
        return db.value(QString("SELECT %1 FROM ax_log WHERE user_id='%2' ORDER BY id DESC LIMIT 1").arg(column, user.name()));
    }
    QString serverRowOf(const QString &address, const QString &column)
    {
        return db.value(QString("SELECT %1 FROM ax_server WHERE address='%2'").arg(column, address));
    }

    // One framed reply: the payload, after checking the length prefix.
    static QByteArray readFramed(TestClient &c)
    {
        const QByteArray prefixBytes = c.receiveExactly(4);
        if (prefixBytes.size() != 4)
            return "(no length prefix)";
        const quint32 length = qFromBigEndian<quint32>(prefixBytes.constData());
        const QByteArray payload = c.receiveExactly(int(length));
        return payload.size() == int(length) ? payload : QByteArray("(short payload)");
    }
    static QByteArray framed(TestClient &c, const QString &request)
    {
        return c.send(request.toUtf8()) ? readFramed(c) : QByteArray("(not sent)");
    }

    const qint64 pid = QCoreApplication::applicationPid();
    // Fixture ids of this run: far above the sample catalogue, apart from other runs.
    const int base = 90000 + int(pid % 4000) * 25;
    const QString prefix = QStringLiteral("axt6_%1_").arg(pid);
    const QString appName = prefix + "event app";
    // Client addresses no other run uses, so their server rows are created here.
    const QString address = QStringLiteral("127.%1.%2.61").arg(pid / 256 % 256).arg(pid % 256);
    const QString busyAddress = QStringLiteral("127.%1.%2.62").arg(pid / 256 % 256).arg(pid % 256);
    const QByteArray bigIcon = pattern(70000, 3);
    const QByteArray logo = pattern(333, 5);
    FakeProgram wget{QStringLiteral("wget"), downloader};
    TestDatabase db;
    TokenUser user{db, prefix + "img"};
    TokenUser loneUser{db, prefix + "lone"};
    TestServer server;
    std::unique_ptr<TestClient> client;   // alice
    std::unique_ptr<TestClient> reporter; // the token user, from its own address
    std::unique_ptr<TestClient> fetcher;  // the token user

private slots:
    void initTestCase()
    {
        QVERIFY(wget.install() && QDir().mkpath(wget.directory() + "/media/icons"));
        QVERIFY(putMedia("big", bigIcon) && putMedia("logo", logo));
        QVERIFY(user.isCreated() && loneUser.isCreated());
        const QString icon = "icons/" + prefix;
        QVERIFY2(db.execAll({
            QString("INSERT INTO ax_application (id, name, icon) VALUES (%1, '%5', NULL), (%2, 'big', '%6big.png'), "
                    "(%3, 'none', NULL), (%4, 'race', '%6race.png')").arg(id(1), id(11), id(12), id(13), appName, icon),
            QString("INSERT INTO ax_applicationgroup (id, name, icon) VALUES (%1, 'g', '%2shared.png')").arg(id(11), icon),
            // The user's first group supplies the logo.
            QString("INSERT INTO ax_usergroup (id, name, logo) VALUES (%1, 'first', '%3logo.png'), (%2, 'second', '%3big.png')")
                .arg(id(11), id(12), icon),
            QString("INSERT INTO ax_usergroup_users (usergroup_id, user_id) VALUES (%1, '%3'), (%2, '%3')")
                .arg(id(11), id(12), user.name())}), qPrintable(db.lastError()));
        server.setEnv("PATH", wget.pathEntry() + ":" + qEnvironmentVariable("PATH"));
        server.setSetting("Server/ConsoleMediaBaseURL", "http://media.axt6.invalid/");
        // Local time far from UTC, so a time stamp left in local time shows.
        server.setEnv("TZ", "AXT-5:45");
        QVERIFY(server.start());
        QVERIFY(client = server.login());
        QVERIFY(reporter = login(qPrintable(address)));
        QVERIFY(fetcher = login());
    }

    void cleanupTestCase()
    {
        db.removeRows({"ax_application", "ax_applicationgroup", "ax_usergroup", "ax_usergroup_users usergroup_id"},
                      base + 1, base + 24);
        db.exec(QString("DELETE FROM ax_log WHERE user_id='%1'").arg(user.name()));
        db.exec(QString("DELETE FROM ax_server WHERE address IN ('%1', '%2')").arg(address, busyAddress));
    }

    void init()
    {
        QVERIFY(setMode("serve"));
        QFile::remove(wget.directory() + "/waiting");
        QFile::remove(wget.directory() + "/release");
    }

    void matching_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("reply"); // a regular expression
        const QString countError = "^Error: Invalid number of parameters for command %1\\(.+\\)\\n$";
        const QString unknown = "^Error: Unknown command %1\\(.+\\)\\n$";
        QTest::newRow("placeholder, right count") << QByteArray("start_server?x") << "^\\n$";
        QTest::newRow("placeholder, no parameter") << QByteArray("start_server") << countError.arg("start_server");
        QTest::newRow("lone ? is one empty parameter") << QByteArray("server_list?") << countError.arg("server_list");
        QTest::newRow("after a second ? is dropped") << QByteArray("start_server?a?b&c&d") << "^\\n$";
        QTest::newRow("trailing & is an empty parameter") << QByteArray("start_server?a&") << countError.arg("start_server");
        QTest::newRow("three or four: two") << QByteArray("create_user?a&b") << countError.arg("create_user");
        QTest::newRow("three or four: five") << QByteArray("create_user?a&b&c&d&e") << countError.arg("create_user");
        QTest::newRow("name is case-sensitive") << QByteArray("Start_server?x") << unknown.arg("Start_server");
        QTest::newRow("unknown") << QByteArray("no_such_thing?1&2") << unknown.arg("no_such_thing");
        QTest::newRow("quit with parameters") << QByteArray("  quit?a&b") << "^true\\n$";
        QTest::newRow("surrounding blanks") << QByteArray("  server_list \n") << "^\\n$";
    }

    void matching()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, reply);
        const QByteArray got = client->request(request);
        QVERIFY2(QRegularExpression(reply).match(QString::fromUtf8(got)).hasMatch(), got.constData());
        QVERIFY(!got.contains(" (")); // no blank before "(" in formatted errors
    }

    void remoteAppServerIsSharedPerUser()
    {
        const std::unique_ptr<TestClient> second = server.login();
        const std::unique_ptr<TestClient> bob = server.login("bob", SampleData::BobToken);
        QCOMPARE(client->request("set_remote_app_server?3389&192.0.2.10"), QByteArray("\n"));
        QCOMPARE(second->request("get_remote_app_server_port"), QByteArray("3389\n"));
        QCOMPARE(second->request("get_remote_app_server_address"), QByteArray("192.0.2.10\n"));
        QCOMPARE(bob->request("get_remote_app_server_port"), QByteArray("\n"));
        QCOMPARE(second->request("unset_remote_app_server"), QByteArray("\n"));
        QCOMPARE(client->request("get_remote_app_server_address"), QByteArray("\n"));
    }

    void eventRows_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("appId"); // null: no "app_id"
        QTest::addColumn<QString>("text");
        const QString u = user.name();
        const QString app = id(1);
        const QString beyond = QString::number(base + 1 + (1LL << 32));
        QTest::newRow("session started") << "start_session" << "1" << QString()
                                         << QString("User %1 started session on server %2").arg(u, address);
        QTest::newRow("session ended") << "end_session" << "2" << QString()
                                       << QString("User %1 ended session on server %2").arg(u, address);
        QTest::newRow("application started") << "start_application?" + app + "&4321" << "3" << app
            << QString("User %1 started application %2 on server %3 with process Id 4321").arg(u, appName, address);
        QTest::newRow("application ended") << "end_application?" + app + "&4321" << "4" << app
            << QString("User %1 ended application %2 on server %3 with process Id 4321").arg(u, appName, address);
        QTest::newRow("not numbers read as 0") << "end_application?first&pid" << "4" << QString()
            << QString("User %1 ended application  on server %2 with process Id 0").arg(u, address);
        QTest::newRow("id beyond 32 bits names no application") << "start_application?" + beyond + "&1" << "3" << beyond
            << QString("User %1 started application  on server %2 with process Id 1").arg(u, address);
        QTest::newRow("unknown application") << "end_application?" + id(24) + "&4294967295" << "4" << id(24)
            << QString("User %1 ended application  on server %2 with process Id 4294967295").arg(u, address);
    }

    void eventRows()
    {
        QFETCH(QString, request);
        QFETCH(QString, type);
        QFETCH(QString, appId);
        QFETCH(QString, text);
        QCOMPARE(reporter->request(request.toUtf8()), QByteArray("Ok\n"));
        QCOMPARE(lastRowOf("type_id"), type);
        QCOMPARE(lastRowOf("text"), text);
        QCOMPARE(lastRowOf("IFNULL(app_id, 'none')"), appId.isNull() ? QString("none") : appId);
        // The same server row for every event from this address, created by the first one.
        QCOMPARE(serverRowOf(address, "COUNT(*)"), QString("1"));
        QCOMPARE(lastRowOf("server_id"), serverRowOf(address, "id"));
        QCOMPARE(lastRowOf("ABS(TIMESTAMPDIFF(MINUTE, time_stamp, UTC_TIMESTAMP())) < 10"), QString("1"));
    }

    void newAddressGetsOneServerRow()
    {
        std::vector<std::unique_ptr<TestClient>> clients;
        for (int i = 0; i < 8; ++i) {
            clients.push_back(login(qPrintable(busyAddress)));
            QVERIFY(clients.back());
        }
        for (auto &c : clients)
            QVERIFY(c->send("start_session"));
        for (auto &c : clients)
            QCOMPARE(c->receiveExactly(3), QByteArray("Ok\n"));
        QCOMPARE(serverRowOf(busyAddress, "COUNT(*)"), QString("1"));
        QCOMPARE(db.value(QString("SELECT COUNT(*) FROM ax_log WHERE user_id='%1' AND server_id=%2")
                              .arg(user.name(), serverRowOf(busyAddress, "id"))), QString("8"));
    }

    void payloads_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QByteArray>("payload"); // null: a formatted error, matched by errorPattern
        QTest::addColumn<QString>("errorPattern");
        QTest::newRow("70000-byte icon") << "_byteArray_get_application_icon?" + id(11) << bigIcon << QString();
        QTest::newRow("application without icon") << "_byteArray_get_application_icon?" + id(12) << QByteArray("") << QString();
        QTest::newRow("first group's logo") << "_byteArray_get_user_logo?" + prefix + "img" << logo << QString();
        QTest::newRow("logo, domain dropped") << "_byteArray_get_user_logo?DOM\\" + prefix + "img" << logo << QString();
        QTest::newRow("logo, no group") << "_byteArray_get_user_logo?" + prefix + "lone" << QByteArray("") << QString();
        QTest::newRow("no parameter") << "_byteArray_get_application_icon" << QByteArray()
            << "^Error: Invalid number of parameters for ByteArray command _byteArray_get_application_icon\\(.+\\)$";
        QTest::newRow("unknown command") << "_byteArray_get_wallpaper?1" << QByteArray()
                                         << "^Error: Unknown ByteArray command _byteArray_get_wallpaper\\(.+\\)$";
    }

    void payloads()
    {
        QFETCH(QString, request);
        QFETCH(QByteArray, payload);
        QFETCH(QString, errorPattern);
        const QByteArray got = framed(*fetcher, request);
        if (payload.isNull())
            QVERIFY2(QRegularExpression(errorPattern).match(QString::fromUtf8(got)).hasMatch(), got.constData());
        else
            QCOMPARE(got, payload);
    }

    void downloadCommandLine()
    {
        // Through the logo: the application icon was fetched once already and is cached since.
        QVERIFY(db.exec(QString("UPDATE ax_usergroup SET logo='icons/%1' WHERE id=%2").arg(mediaName("big"), id(11))));
        const auto restore = qScopeGuard([&] {
            db.exec(QString("UPDATE ax_usergroup SET logo='icons/%1' WHERE id=%2").arg(mediaName("logo"), id(11)));
        });
        QVERIFY(fetcher->send(("_byteArray_get_user_logo?" + prefix + "img").toUtf8()));
        QCOMPARE(fetcher->receiveExactly(4), QByteArray("\x00\x01\x11\x70", 4));
        QCOMPARE(fetcher->receiveExactly(70000), bigIcon);
        const QStringList calls = wget.calls();
        QVERIFY(!calls.isEmpty());
        const QStringList args = calls.last().split('|');
        QCOMPARE(args.size(), 4);
        QCOMPARE(args.mid(0, 2), QStringList({"-q", "-O"}));
        // Downloaded under a private name in the media directory, then renamed into place.
        const QString media = server.environment().value("CACHE_DIRECTORY") + "/media/";
        QVERIFY2(args[2].startsWith(media) && !QFile::exists(args[2]), qPrintable(args[2]));
        QCOMPARE(args[3], "http://media.axt6.invalid/icons/" + mediaName("big"));
        QCOMPARE(readFile(media + mediaName("big")), bigIcon);
    }

    // A slow download of a file must not be seen half-written by another request for the same file.
    void concurrentFetchOfOneFile()
    {
        const QString request = "_byteArray_get_application_group_icon?" + id(11);
        const QByteArray earlier = pattern(5000, 17);
        const QByteArray newer = pattern(5000, 29);
        QVERIFY(putMedia("shared", earlier));
        QCOMPARE(framed(*fetcher, request), earlier);

        QVERIFY(putMedia("shared", newer) && setMode("slow"));
        QVERIFY(fetcher->send(request.toUtf8()));
        QTRY_VERIFY_WITH_TIMEOUT(isWaiting(), 10000);
        QVERIFY(setMode("fail"));
        const std::unique_ptr<TestClient> second = login();
        QCOMPARE(framed(*second, request), earlier);
        QVERIFY(release());
        QCOMPARE(readFramed(*fetcher), newer);
        QCOMPARE(framed(*second, request), newer);
    }

    // An icon downloaded across "application_updated" and kept after it would hide the change for
    // good; so would the record.
    void iconFetchedAcrossUpdateIsNotKept()
    {
        const QString icon = "_byteArray_get_application_icon?" + id(13);
        QVERIFY(putMedia("race", pattern(100, 1)) && setMode("slow"));
        QVERIFY(fetcher->send(icon.toUtf8()));
        QTRY_VERIFY_WITH_TIMEOUT(isWaiting(), 10000);
        QVERIFY(db.exec(QString("UPDATE ax_application SET name='renamed' WHERE id=%1").arg(id(13))));
        const std::unique_ptr<TestClient> second = login();
        QCOMPARE(second->request(("application_updated?" + id(13)).toUtf8()), QByteArray("\n"));
        QVERIFY(release());
        QCOMPARE(readFramed(*fetcher), pattern(100, 1));
        QVERIFY(putMedia("race", pattern(100, 2)) && setMode("serve"));
        QCOMPARE(framed(*second, icon), pattern(100, 2));
        QCOMPARE(second->request(("get_application_name?" + id(13)).toUtf8()), QByteArray("renamed\n"));
    }
};

QTEST_GUILESS_MAIN(DispatcherTest)
#include "tst_dispatcher.moc"
