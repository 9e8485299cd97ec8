#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the catalogue says about one application, as clients ask for it field by field.
// A record of an id without a row keeps every text empty.
struct ApplicationRecord {
    int id = 0;
    QString name;
    QString description;
    QString command;
    QString init_path;
    QString args;
    QByteArray icon;
    QStringList server_addresses;
    QStringList server_ids;
    QString only_one;
};
