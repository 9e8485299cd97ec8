#pragma once

#include "base/filestamp.h"
#include "base/tls.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>

#include <memory>

// The TLS listener's context, built from the certificate and key the privileged side reads (the
// key is root's alone). Files replaced on disk are taken up by the next handshake: their stamps
// are compared at most once a second, and only a change costs a fetch and a new context. A pair
// that cannot be used leaves the last good context in place and is logged once.
class ServerTls
{
public:
    static ServerTls &instance();

    // At the start: false when the listener stays off, with the reason when it was configured.
    bool load(QString *error);
    // The context for a handshake about to start; null when the listener is off.
    std::shared_ptr<TlsContext> context();

private:
    ServerTls() = default;

    // Which files the settings name now, and their stamps (stat needs no permission to read).
    struct Source {
        QString certificatePath;
        QString keyPath;
        FileStamp certificate;
        FileStamp key;
        bool operator==(const Source &o) const
        {
            return certificatePath == o.certificatePath && keyPath == o.keyPath && certificate == o.certificate
                   && key == o.key;
        }
        // Files the serving account cannot even stat tell nothing: their contents are compared.
        bool isKnown() const { return certificate.exists && key.exists; }
    };
    static Source sourceNow();
    static bool fetch(QByteArray *certificate, QByteArray *key, QString *error);
    void refresh();

    QMutex lock;
    std::shared_ptr<TlsContext> current;
    Source built;     // what current was built from
    Source failed;    // the last files that could not be used
    QByteArray builtPem; // its certificate and key, to tell a copy from a change
    QString lastFailure;
    QElapsedTimer sinceCheck;
    bool checking = false;
};
