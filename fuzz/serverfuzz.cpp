// ambrix-serverfuzz: sends random and mutated messages of every kind to a running server, from
// several connections at once, and reads what comes back without judging it (whoever runs it
// checks the server afterwards). Random bytes, valid messages of every command of the table
// mutated (separators, zero bytes, invalid UTF-8, hostile characters inserted; pieces cut out or
// repeated), messages of 1022 to 1025 bytes, uploads with bad sizes, control messages, and
// messages written in two pieces. The same seed sends the same messages on each connection.
//
//   ambrix-serverfuzz --port N --seed N [--messages N] [--connections N] [--user NAME --token TOKEN]
//
// With --user every connection logs in first, as NAME followed by its number.
#include "dispatch/commandtable.h"

#include <QByteArrayList>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

const QByteArrayList fragments = {"?", "&", "&&", QByteArray(1, '\0'), "\xff\xfe", "\xc3", "\xed\xa0\x80",
                                  "\xf4\x90\x80\x80", "'", "\\", "%", "_", "../", "\r\n", " ", "\xe2\x82\xac", "quit"};
const QByteArrayList badSizes = {"-1", "0", "abc", "", "2147483648", "99999999999999999999", "1e9", "3&4"};

QByteArrayList validMessages()
{
    QByteArrayList valid = {"_serverCommand_set_remote_server?127.0.0.1&fuzz", "_serverCommand_open?x&1",
                            "_serverCommand_close", "login?fuzz&&token", "validate?a&&b"};
    for (const CommandRow *row : CommandTable::allRows())
        valid << QByteArray(row->name) + "?1&x&2";
    for (const ByteArrayRow *row : CommandTable::allByteArrayRows())
        valid << QByteArray(row->name) + "?1";
    return valid;
}

QByteArray fuzzedMessage(std::mt19937_64 &rng, const QByteArrayList &valid)
{
    const auto pick = [&rng](int n) { return int(rng() % quint64(n)); };
    QByteArray message;
    switch (pick(6)) {
    case 0:
        for (int n = pick(1100); n > 0; --n)
            message += char(rng());
        return message;
    case 1:
        return "_sendBinaryFile_?f" + QByteArray::number(pick(9)) + ".bin&d&" + badSizes.at(pick(badSizes.size()));
    case 2:
        // 1023 bytes fill one receive; 1024 and more arrive as two messages.
        return valid.at(pick(valid.size())).leftJustified(1022 + pick(4), char(rng() | 1), true);
    default:
        message = valid.at(pick(valid.size()));
        for (int n = 1 + pick(4); n > 0; --n) {
            const int at = pick(message.size() + 1);
            switch (pick(4)) {
            case 0: message.insert(at, fragments.at(pick(fragments.size()))); break;
            case 1: message.remove(at, pick(8)); break;
            case 2: message.insert(at, message.mid(pick(message.size() + 1), pick(40))); break;
            default: message.insert(at, char(rng()));
            }
        }
        return message;
    }
}

class Connection
{
public:
    explicit Connection(quint16 port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            close();
    }
    ~Connection() { close(); }
    bool isOpen() const { return fd >= 0; }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool send(const QByteArray &bytes)
    {
        for (qsizetype sent = 0; fd >= 0 && sent < bytes.size();) {
            const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return fd >= 0;
    }
    // What arrives within a moment, without waiting for more once something came.
    QByteArray takeReply()
    {
        QByteArray reply;
        char buffer[4096];
        pollfd readable{fd, POLLIN, 0};
        for (int wait = 200; fd >= 0 && ::poll(&readable, 1, wait) > 0; wait = 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                close();
                break;
            }
            reply.append(buffer, int(n));
        }
        return reply;
    }

private:
    int fd = -1;
};

// One connection's share. A connection is replaced once it ends or stops answering: it may be in
// an upload that takes the messages as its content.
int fuzzOne(quint16 port, quint64 seed, int count, const QByteArray &login, const QByteArrayList &valid)
{
    std::mt19937_64 rng(seed);
    std::unique_ptr<Connection> connection;
    int unanswered = 0;
    int replaced = 0;
    for (int i = 0; i < count; ++i) {
        if (!connection || !connection->isOpen() || unanswered >= 3) {
            connection = std::make_unique<Connection>(port);
            if (!login.isEmpty() && connection->send(login))
                connection->takeReply();
            unanswered = 0;
            ++replaced;
        }
        const QByteArray message = fuzzedMessage(rng, valid);
        // Sometimes in two writes, which the server may receive as one message or as two.
        const int cut = rng() % 4 == 0 ? int(rng() % quint64(message.size() + 1)) : message.size();
        const bool sent = connection->send(message.left(cut)) && connection->send(message.mid(cut));
        unanswered = sent && !connection->takeReply().isEmpty() ? 0 : unanswered + 1;
    }
    return replaced;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"port", "Server port.", "N"},
                       {"seed", "Seed of the messages.", "N"},
                       {"messages", "Messages per connection.", "N", "250"},
                       {"connections", "Connections at once.", "N", "8"},
                       {"user", "Log in as NAME and the connection's number.", "NAME"},
                       {"token", "The password or token of the login.", "TOKEN"}});
    parser.addHelpOption();
    parser.process(app);
    const quint16 port = quint16(parser.value("port").toUInt());
    const quint64 seed = parser.value("seed").toULongLong();
    const int messages = parser.value("messages").toInt();
    const int connections = parser.value("connections").toInt();
    if (port == 0 || messages < 1 || connections < 1) {
        std::fprintf(stderr, "ambrix-serverfuzz: --port, --messages and --connections must be positive\n");
        return 2;
    }
    const QByteArrayList valid = validMessages();
    std::vector<std::thread> threads;
    std::vector<int> replaced(size_t(connections), 0);
    for (int c = 0; c < connections; ++c) {
        const QByteArray login = parser.isSet("user") ? "login?" + parser.value("user").toUtf8() + QByteArray::number(c)
                                                            + "&&" + parser.value("token").toUtf8()
                                                      : QByteArray();
        threads.emplace_back([&, c, login] {
            replaced[size_t(c)] = fuzzOne(port, seed * 1000003 + quint64(c), messages, login, valid);
        });
    }
    int connected = 0;
    for (int c = 0; c < connections; ++c) {
        threads[size_t(c)].join();
        connected += replaced[size_t(c)];
    }
    std::printf("sent %d messages on %d connections (seed %llu)\n", messages * connections, connected, seed);
    return 0;
}
