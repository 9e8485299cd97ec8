#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the catalogue says about one application, as clients ask for it field by field.
// A record of an id without a row keeps every text empty. The icon bytes are fetched only when a
// client asks for the icon (iconFetched), so that a slow media server never holds the text fields.
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
    QString iconPath; // column "icon", below the console's media location
    bool iconFetched = false;
};
