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
        const QList<QByteArray> all = {QByteArray("00001"), QByteArray("99999"),    QByteArray("E0001"),
                                       QByteArray("E9999"), QByteArray("00000"),    QByteArray("abc"),
                                       QByteArray("0001x"), QByteArray("0001\xe9"), QByteArray()};
        for (const QByteArray &t : all) {
            tags.insert(t);
            tags.insert(t); // twice: still one open command
        }
        QCOMPARE(tags.size(), int(all.size()));
        for (const QByteArray &t : all)
            QVERIFY2(tags.contains(t), t.constData());
        QVERIFY(!tags.contains(QByteArray("00002")));
        QVERIFY(!tags.contains(QByteArray("E0002")));
        tags.remove(QByteArray("00002")); // never open: nothing changes
        QCOMPARE(tags.size(), int(all.size()));
        for (const QByteArray &t : all) {
            tags.remove(t);
            QVERIFY(!tags.contains(t));
        }
        QVERIFY(tags.isEmpty());
        tags.insert(QByteArray("00007"));
        tags.insert(QByteArray("x"));
        tags.clear();
        QVERIFY(tags.isEmpty());
        QVERIFY(!tags.contains(QByteArray("00007")));
    }
};

QTEST_GUILESS_MAIN(TestOpenTags)
#include "tst_opentags.moc"
