#include "tokenuser.h"

#include "testdatabase.h"

#include <QCryptographicHash>

TokenUser::TokenUser(TestDatabase &db, const QString &name)
    : db(db), userName(name),
      userToken(QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex())
{
    QString quotedName = name;
    quotedName.replace(QLatin1Char('\''), QLatin1String("''"));
    created = db.exec(QStringLiteral("INSERT INTO ax_user (username, token) VALUES ('%1', '%2')")
                          .arg(quotedName, QString::fromLatin1(userToken)));
}

TokenUser::~TokenUser()
{
    QString quotedName = userName;
    quotedName.replace(QLatin1Char('\''), QLatin1String("''"));
    db.exec(QStringLiteral("DELETE FROM ax_user WHERE username='%1'").arg(quotedName));
}
