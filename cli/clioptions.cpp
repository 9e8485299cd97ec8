#include "cli/clioptions.h"

#include "cli/clioutput.h"

#include <cstdio>
#include <cstring>

using namespace CliOutput;

namespace {

// The server reads one message per receive into a 1024-byte buffer that keeps a final zero.
constexpr int maxMessageSize = 1023;

QByteArray readTokenFromStdin()
{
    char line[4096];
    if (!std::fgets(line, sizeof line, stdin))
        return QByteArray();
    QByteArray token(line);
    while (token.endsWith('\n') || token.endsWith('\r'))
        token.chop(1);
    return token;
}

QString checkMessage(const QByteArray &message)
{
    if (message.isEmpty())
        return tr("An empty message cannot be sent: the server would receive nothing.");
    if (message.size() > maxMessageSize)
        return tr("A message is %1 bytes long; the server takes at most %2 bytes per message.")
            .arg(message.size()).arg(maxMessageSize);
    if (message.startsWith("_sendBinaryFile_"))
        return tr("Send files with: upload FILE [TARGETDIR].");
    return QString();
}

QString checkCombination(const CliOptions &o)
{
    if ((o.insecure || !o.caFile.isEmpty()) && !o.tls)
        return tr("--ca and --insecure go with --tls.");
    if (o.insecure && !o.caFile.isEmpty())
        return tr("--insecure checks no certificate: --ca has no use with it.");
    if (o.user.isEmpty() != o.token.isEmpty())
        return tr("-u and -t go together.");
    if (!o.adminGroup.isEmpty() && o.user.isEmpty())
        return tr("-g needs -u and -t.");
    // The login request is split at "?" and "&": the user may hold neither, the group no "&".
    if (o.user.contains('?') || o.user.contains('&'))
        return tr("The user name must not contain \"?\" or \"&\".");
    if (o.adminGroup.contains('&'))
        return tr("The admin group must not contain \"&\".");
    if (o.isUpload) {
        // The server refuses an upload from a connection that has not logged in before it reads
        // the content, which would then arrive as requests.
        if (o.user.isEmpty())
            return tr("upload needs -u and -t: the server takes files from logged-in users only.");
        if (o.uploadTargetDir.contains('&') || o.uploadTargetDir.contains('?'))
            return tr("TARGETDIR must not contain \"?\" or \"&\".");
        return QString();
    }
    if (o.messages.isEmpty())
        return tr("Nothing to send: give at least one MESSAGE.");
    int byteArrayMessages = 0;
    for (const QByteArray &message : o.messages) {
        const QString error = checkMessage(message);
        if (!error.isNull())
            return error;
        if (message.startsWith("_byteArray_"))
            ++byteArrayMessages;
    }
    if (!o.outputFile.isEmpty() && byteArrayMessages != 1)
        return tr("-o takes the payload of exactly one _byteArray_ message.");
    return QString();
}

} // namespace

namespace CliArguments {

QString parse(int argc, char **argv, CliOptions *o)
{
    int i = 1;
    for (; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(arg, "--help") == 0) {
            o->showHelp = true;
            return QString();
        }
        if (std::strcmp(arg, "--tls") == 0) {
            o->tls = true;
            continue;
        }
        if (std::strcmp(arg, "--insecure") == 0) {
            o->insecure = true;
            continue;
        }
        if (std::strcmp(arg, "--ca") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return tr("Option --ca needs a file.");
            o->caFile = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (arg[0] != '-' || arg[1] == '\0' || arg[2] != '\0')
            break;
        if (std::strchr("hputgoT", arg[1]) == nullptr)
            return tr("Unknown option %1.").arg(QString::fromLocal8Bit(arg));
        if (i + 1 >= argc)
            return tr("Option %1 needs a value.").arg(QString::fromLocal8Bit(arg));
        const QByteArray value(argv[++i]);
        bool ok = true;
        switch (arg[1]) {
        case 'h': o->host = QString::fromLocal8Bit(value); break;
        case 'p': {
            const uint port = value.toUInt(&ok);
            ok = ok && port > 0 && port < 65536;
            o->port = quint16(port);
            o->portGiven = true;
            break;
        }
        case 'u': o->user = value; break;
        case 't': o->token = value == "-" ? readTokenFromStdin() : value; break;
        case 'g': o->adminGroup = value; break;
        case 'o': o->outputFile = QString::fromLocal8Bit(value); break;
        case 'T':
            o->timeoutSeconds = value.toInt(&ok);
            ok = ok && o->timeoutSeconds > 0;
            break;
        }
        if (!ok)
            return tr("Bad value for %1: %2.").arg(QString::fromLocal8Bit(arg), QString::fromLocal8Bit(value));
    }

    if (o->tls && !o->portGiven)
        o->port = 4446;
    if (i < argc && std::strcmp(argv[i], "upload") == 0) {
        if (argc - i < 2 || argc - i > 3)
            return tr("upload takes FILE and an optional TARGETDIR.");
        o->isUpload = true;
        o->uploadFile = QString::fromLocal8Bit(argv[i + 1]);
        if (argc - i == 3)
            o->uploadTargetDir = QByteArray(argv[i + 2]);
    } else {
        for (; i < argc; ++i)
            o->messages.append(QByteArray(argv[i]));
    }
    return checkCombination(*o);
}

QString usageText(const char *program)
{
    return tr("usage: %1 [TLS] [-h HOST] [-p PORT] [-u USER -t TOKEN_OR_PASSWORD [-g ADMINGROUP]]\n"
              "          [-o FILE] [-T SECONDS] MESSAGE...\n"
              "       %1 [TLS] [-h HOST] [-p PORT] -u USER -t TOKEN_OR_PASSWORD upload FILE [TARGETDIR]\n"
              "   TLS: --tls [--ca FILE | --insecure]\n"
              "\n"
              "Talks to an Ambrix Server: logs in when -u is given, sends each MESSAGE exactly as\n"
              "given, one at a time, and prints each reply as it arrives.\n"
              "\n"
              "  -h HOST     server address (default 127.0.0.1)\n"
              "  -p PORT     server port (default 4445, with --tls 4446)\n"
              "  --tls       encrypt the connection (TLS 1.2 or later) and check the server's\n"
              "              certificate against the system's trust store and HOST\n"
              "  --ca FILE   check it against the certificates in FILE instead (PEM)\n"
              "  --insecure  check no certificate: anyone on the way can read and change\n"
              "              everything, the password or token included\n"
              "  -u USER     log in as USER before sending\n"
              "  -t TOKEN    the user's token or password; \"-\" reads it from standard input\n"
              "  -g GROUP    admin group named in the login (default none)\n"
              "  -o FILE     write the payload of the _byteArray_ reply to FILE\n"
              "  -T SECONDS  how long to wait for a reply (default 30)\n"
              "  --help      this text\n"
              "\n"
              "Replies are printed exactly as received (a reply without a line end stays without\n"
              "one). A reply is complete when nothing follows for half a second (0.05 s after a\n"
              "line end). A _byteArray_ reply prints its payload size in bytes. upload sends FILE\n"
              "into the user's upload directory (into TARGETDIR inside it, when given) and prints\n"
              "the server's final reply.\n"
              "\n"
              "Exit status: 0 every reply arrived, 1 bad arguments or local file, 2 connection\n"
              "failed or no reply in time, 3 login refused, 4 upload refused.\n")
        .arg(QString::fromLocal8Bit(program));
}

} // namespace CliArguments
