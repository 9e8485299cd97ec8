#pragma once

#include <QObject>
#include <QString>

// Users' cloud printers, connected and removed through the print system's helper program.
// Static handlers only; the class exists for its translation context.
class AXPrinterCommand : public QObject
{
    Q_OBJECT

public:
    static QString addGooglePrinter(const QString &p0, const QString &p1, const QString &userName, const QString &p2);
    static QString removeGooglePrinter(const QString &p0, const QString &p1, const QString &userName, const QString &p2);
    static QString pruneGooglePrinters(const QString &p0, const QString &userName);

private:
    AXPrinterCommand() = default;
};
