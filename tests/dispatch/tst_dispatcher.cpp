// The dispatcher seen by logged-in clients: name and count matching, formatted errors, the
// commands that live in the dispatcher itself; session and application events as rows of "ax_log"
// reported from client addresses of this test's own (loopback sources); and icons and logos as
// length-prefixed replies, fetched by a stand-in download program first in the server's PATH.
#include "fakeprogram.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtEndian>
#include <QtTest>

namespace {

const QString address = QStringLiteral("127.6.0.61");
const QString busyAddress = QStringLiteral("127.6.0.62");

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) % 251);
    return bytes;
}

// One framed reply: the payload, after checking the length prefix.
QByteArray readFramed(TestClient &c)
{
    const QByteArray length = c.receiveExactly(4);
    const QByteArray payload = length.size() == 4 ? c.receiveExactly(int(qFromBigEndian<quint32>(length.constData()))) : "";
    return length.size() == 4 && payload.size() == int(qFromBigEndian<quint32>(length.constData())) ? payload : "(cut short)";
}

QByteArray framed(TestClient &c, const QString &request)
{
    return c.send(request.toUtf8()) ? readFramed(c) : QByteArray("(not sent)");
}

} // namespace

class DispatcherTest : public QObject
{
    Q_OBJECT

    bool putMedia(const QString &stem, const QByteArray &bytes)
    {
        return writeFile(wget.directory() + "/media/icons/" + stem + ".png", bytes);
    }
    bool setMode(const QByteArray &mode) { return writeFile(wget.directory() + "/mode", mode); }
    bool isWaiting() const { return QFile::exists(wget.directory() + "/waiting"); }
    std::unique_ptr<TestClient> login(const char *source = nullptr) { return server.login("dsp_img", "dsp-img-token", source); }
    QString lastEvent(const QString &column)
    {
        return db.value("SELECT " + column + " FROM ax_log WHERE user_id='dsp_img' ORDER BY id DESC LIMIT 1");
    }
    QString serverRow(const QString &address, const QString &column)
    {
        return db.value("SELECT " + column + " FROM ax_server WHERE address='" + address + "'");
    }

    const QByteArray bigIcon = pattern(70000, 3);
    FakeProgram wget{QStringLiteral("wget"), fixture("wget-media.sh")};
    TestDatabase db;
    TestServer server;
    std::unique_ptr<TestClient> client;   // alice
    std::unique_ptr<TestClient> reporter; // the token user, from its own address
    std::unique_ptr<TestClient> fetcher;  // the token user

private slots:
    void initTestCase()
    {
        QVERIFY(wget.install() && QDir().mkpath(wget.directory() + "/media/icons"));
        QVERIFY(putMedia("big", bigIcon) && putMedia("logo", pattern(333, 5)));
        QVERIFY2(db.load("dispatch"), qPrintable(db.lastError()));
        server.setEnv("PATH", wget.pathEntry() + ":" + qEnvironmentVariable("PATH"));
        server.setSetting("Server/ConsoleMediaBaseURL", "http://media.axt6.invalid/");
        // Local time far from UTC, so a time stamp left in local time shows.
        server.setEnv("TZ", "AXT-5:45");
        QVERIFY(server.start());
        QVERIFY(client = server.login());
        QVERIFY(reporter = login(qPrintable(address)));
        QVERIFY(fetcher = login());
    }

    void init()
    {
        QVERIFY(setMode("serve"));
        QFile::remove(wget.directory() + "/waiting");
        QFile::remove(wget.directory() + "/release");
    }

    // One command of each shape: a placeholder with exactly one parameter, one with none, one of
    // three or four; the reply is a regular expression.
    void matching_data() { addRowsFrom("dispatcher.rows"); }

    void matching()
    {
        const QByteArray got = client->request(field("request").toUtf8());
        QVERIFY2(QRegularExpression(field("reply")).match(QString::fromUtf8(got)).hasMatch(), got.constData());
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

    // The row each event leaves: type, application ("none" without one) and text; every event from
    // one address shares the server row the first one created, and time stamps are UTC.
    void eventRows_data() { addRowsFrom("dispatcher.rows"); }

    void eventRows()
    {
        QCOMPARE(reporter->request(field("request").toUtf8()), QByteArray("Ok\n"));
        QCOMPARE(lastEvent("CONCAT_WS('|', type_id, IFNULL(app_id, 'none'), text)"), field("type") + "|" + field("appId") + "|" + field("text"));
        QCOMPARE(serverRow(address, "COUNT(*)"), QString("1"));
        QCOMPARE(lastEvent("server_id"), serverRow(address, "id"));
        QCOMPARE(lastEvent("ABS(TIMESTAMPDIFF(MINUTE, time_stamp, UTC_TIMESTAMP())) < 10"), QString("1"));
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
        QCOMPARE(serverRow(busyAddress, "COUNT(*)"), QString("1"));
        QCOMPARE(db.value("SELECT COUNT(*) FROM ax_log WHERE server_id=" + serverRow(busyAddress, "id")), QString("8"));
    }

    // A payload, or a formatted error matched as a regular expression ("~" first).
    void payloads_data() { addRowsFrom("dispatcher.rows"); }

    void payloads()
    {
        const QString payload = field("payload");
        const QByteArray got = framed(*fetcher, field("request"));
        if (payload.startsWith('~'))
            QVERIFY2(QRegularExpression(payload.mid(1)).match(QString::fromUtf8(got)).hasMatch(), got.constData());
        else
            QCOMPARE(got, payload.isEmpty() ? QByteArray() : pattern(333, 5));
    }

    // A 70000-byte icon (the length uses three of its four bytes), downloaded under a private name
    // in the server's media directory, then renamed into place.
    void downloadCommandLine()
    {
        QVERIFY(fetcher->send("_byteArray_get_application_icon?92011"));
        QCOMPARE(fetcher->receiveExactly(4), QByteArray("\x00\x01\x11\x70", 4));
        QCOMPARE(fetcher->receiveExactly(70000), bigIcon);
        const QStringList args = wget.calls().last().split('|');
        QCOMPARE(args.size(), 4);
        QCOMPARE(args.mid(0, 2), QStringList({"-q", "-O"}));
        const QString media = server.environment().value("CACHE_DIRECTORY") + "/media/";
        QVERIFY2(args[2].startsWith(media) && !QFile::exists(args[2]), qPrintable(args[2]));
        QCOMPARE(args[3], QStringLiteral("http://media.axt6.invalid/icons/big.png"));
        QCOMPARE(readFile(media + "big.png"), bigIcon);
    }

    // A slow download of a file must not be seen half-written by another request for the same file.
    void concurrentFetchOfOneFile()
    {
        const QString request = "_byteArray_get_application_group_icon?92011";
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
        QVERIFY(writeFile(wget.directory() + "/release", ""));
        QCOMPARE(readFramed(*fetcher), newer);
        QCOMPARE(framed(*second, request), newer);
    }

    // A record read before "application_updated" and stored after it would hide the change for good.
    // An icon downloaded across "application_updated" and kept after it would hide the change for
    // good; so would the record.
    void iconFetchedAcrossUpdateIsNotKept()
    {
        QVERIFY(putMedia("race", pattern(100, 1)) && setMode("slow"));
        QVERIFY(fetcher->send("_byteArray_get_application_icon?92013"));
        QTRY_VERIFY_WITH_TIMEOUT(isWaiting(), 10000);
        QVERIFY(db.exec("UPDATE ax_application SET name='renamed' WHERE id=92013"));
        const std::unique_ptr<TestClient> second = login();
        QCOMPARE(second->request("application_updated?92013"), QByteArray("\n"));
        QVERIFY(writeFile(wget.directory() + "/release", ""));
        QCOMPARE(readFramed(*fetcher), pattern(100, 1));
        QVERIFY(putMedia("race", pattern(100, 2)) && setMode("serve"));
        QCOMPARE(framed(*second, "_byteArray_get_application_icon?92013"), pattern(100, 2));
        QCOMPARE(second->request("get_application_name?92013"), QByteArray("renamed\n"));
    }
};

QTEST_GUILESS_MAIN(DispatcherTest)
#include "tst_dispatcher.moc"
