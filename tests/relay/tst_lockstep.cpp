// Lock-step traffic through the relay with peers that answer at once, on
// threads of their own, as a controller and a measuring program do. The
// window then reads both sides in its quick path (right after a burst) as
// well as in its usual one; lines cut in two, and lines that come while a
// burst is being handled, must still make one stream, in order.

#include "support/formfixture.h"
#include "support/lockstep.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

using namespace lockstep;

namespace {
constexpr int Rounds = 2000;
} // namespace

class TestLockstep : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyLineInOrder()
    {
        FormFixture f;
        f->noTimeStamp = true;
        ThreadServer server;
        f->EdHost->setText(QStringLiteral("127.0.0.1"));
        f->EdPort->setText(QString::number(server.port));
        f->listenPort = FreePort();
        f->RunHandler([&] { f->StartRelayListener(); });

        QByteArray commands, replies;
        QStringList logged;
        for (int round = 1; round <= Rounds; ++round) {
            const QByteArray tag = command(round).left(5);
            commands += command(round);
            replies += reply(tag);
            logged << QStringLiteral(">$> ") + QString::fromLatin1(command(round).chopped(2));
            for (const QByteArray &line : reply(tag).split('\n').mid(0, 3))
                logged << QStringLiteral("<$< ") + QString::fromLatin1(line.chopped(1));
        }

        {
            ThreadClient client(f->listenPort, Rounds);
            QSignalSpy through(&client.finish, &Finish::finished);
            QVERIFY(through.wait(60000));
            QVERIFY(!client.failed);
            QCOMPARE(client.received, replies);
        }
        // The client brought the link up; its leaving takes it down.
        QTRY_VERIFY_WITH_TIMEOUT(server.done, 10000);
        QCOMPARE(server.received, commands);
        QStringList relayed;
        for (const QString &line : f.logLines()) {
            if (line.startsWith(QLatin1String(">$> ")) || line.startsWith(QLatin1String("<$< ")))
                relayed << line;
        }
        QCOMPARE(relayed, logged);
        QVERIFY(f.messages.isEmpty());
    }
};

QTEST_MAIN(TestLockstep)
#include "tst_lockstep.moc"
