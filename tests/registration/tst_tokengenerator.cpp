#include "registration/tokengenerator.h"

#include <QtTest>

class TokenGeneratorTest : public QObject
{
    Q_OBJECT

private slots:
    void formAndUniqueness()
    {
        const QRegularExpression form("^[A-Za-z0-9]{64}$");
        QSet<QString> seen;
        QSet<QChar> characters;
        for (int i = 0; i < 2000; ++i) {
            const QString token = TokenGenerator::newToken();
            QVERIFY2(form.match(token).hasMatch(), qPrintable(token));
            seen.insert(token);
            for (QChar c : token)
                characters.insert(c);
        }
        // Tokens made back to back (same millisecond) differ, and the whole alphabet is used.
        QCOMPARE(seen.size(), 2000);
        QCOMPARE(characters.size(), 62);
    }
};

QTEST_GUILESS_MAIN(TokenGeneratorTest)
#include "tst_tokengenerator.moc"
