#include "app/options.h"

#include <cstdio>
#include <cstring>

namespace {

const char *const valueOptions[] = {"--password", "-w", "--adminuser", "-u",
                                    "--port", "-p", "--address", "-a"};
const char *const flagOptions[] = {"--init", "-i"};

QString optionError;

template <size_t N>
bool isOneOf(const char *arg, const char *const (&names)[N])
{
    for (const char *name : names) {
        if (std::strcmp(arg, name) == 0)
            return true;
    }
    return false;
}

} // namespace

QString Options::lookup(int argc, char **argv, const char *longName, const char *shortName,
                        const QString &defaultValue)
{
    const auto matches = [&](const char *arg) {
        return std::strcmp(arg, longName) == 0 || std::strcmp(arg, shortName) == 0;
    };

    if (isOneOf(longName, flagOptions)) {
        // A flag counts wherever it stands, even where a value is expected.
        for (int i = 1; i < argc; ++i) {
            if (matches(argv[i]))
                return QStringLiteral("true");
        }
        return QStringLiteral("false");
    }

    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        // The complaint does not stop the walk: a later match still returns its value.
        if (!isOneOf(arg, valueOptions))
            optionError = tr("Invalid option. Check parameters.");
        if (matches(arg)) {
            if (i + 1 < argc)
                return QString::fromLocal8Bit(argv[i + 1]);
            optionError = tr("The parameter needs a value.");
            return QString();
        }
        if (!isOneOf(arg, flagOptions))
            ++i; // the argument after a value option is its value
    }
    return defaultValue;
}

QString Options::errorText()
{
    return optionError;
}

void Options::printUsage(const char *programPath)
{
    std::printf("usage: %s <options>\n", programPath);
    std::printf("Options:\n");
    std::printf("  -a, --address ADDRESS        Serve on IP address ADDRESS\n");
    std::printf("  -p, --port PORT              Serve on port number PORT\n");
    std::printf("  -i, --init                   Initialize server (GUI dialog)\n");
    std::printf("  -u, --adminuser ADMINUSER    Initialize server with administrator ADMINUSER\n");
    std::printf("  -w, --password ADMINPASSWORD Initialize server with administrator password ADMINPASSWORD\n");
    std::printf("When initializing server you must specify ADMINUSER, PASSWORD and ADDRESS\n");
}
