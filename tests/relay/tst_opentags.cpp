#include "relay/opentags.h"

#include <QTest>

class TestOpenTags : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Protocol tags and any other text are followed alike: each counts once,
    // and goes when its '%' is noted.
    void followsEveryKindOfTag()
    {
        OpenTags tags;
        QVERIFY(tags.isEmpty());
        const QStringList all = {
            QStringLiteral("00001"), QStringLiteral("99999"),         QStringLiteral("E0001"),
            QStringLiteral("E9999"), QStringLiteral("00000"),         QStringLiteral("abc"),
            QStringLiteral("0001x"), QString::fromLatin1("0001\xe9"), QString()};
        for (const QString &t : all) {
            tags.insert(t);
            tags.insert(t); // twice: still one open command
        }
        QCOMPARE(tags.size(), int(all.size()));
        for (const QString &t : all)
            QVERIFY2(tags.contains(t), qPrintable(t));
        QVERIFY(!tags.contains(QStringLiteral("00002")));
        QVERIFY(!tags.contains(QStringLiteral("E0002")));
        tags.remove(QStringLiteral("00002")); // never open: nothing changes
        QCOMPARE(tags.size(), int(all.size()));
        for (const QString &t : all) {
            tags.remove(t);
            QVERIFY(!tags.contains(t));
        }
        QVERIFY(tags.isEmpty());
        tags.insert(QStringLiteral("00007"));
        tags.insert(QStringLiteral("x"));
        tags.clear();
        QVERIFY(tags.isEmpty());
        QVERIFY(!tags.contains(QStringLiteral("00007")));
    }
};

QTEST_GUILESS_MAIN(TestOpenTags)
#include "tst_opentags.moc"
