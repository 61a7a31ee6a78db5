// Tagging, dispatch and acknowledge pacing through the real window.

#include "support/formfixture.h"
#include "support/helpers.h"
#include "support/testserver.h"

#include "log/logview.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class TestDispatch : public QObject {
    Q_OBJECT

    static void connectTo(TForm1 *f, TestServer &server)
    {
        f->EdPort->setText(QString::number(server.port()));
        f->BtConnectClick();
        QTRY_VERIFY(f->serverConnected);
        QVERIFY(server.waitForClient());
    }

private Q_SLOTS:
    void typedCommandGoesOutTaggedAndLogged()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        f->EdTag->setText(QStringLiteral("7"));
        f->EdCurrentCommand->setText(QStringLiteral("  Home() ; back to start"));
        QTest::keyClick(f->EdCurrentCommand, Qt::Key_Return); // Enter sends, no session needed
        QVERIFY(server.waitForLines(1));
        QCOMPARE(server.received[0], QByteArray("00007 Home()"));
        QCOMPARE(f->EdTag->text(), QStringLiteral("8"));
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("  Home() ; back to start"));
        const QString last = fx.logLines().last();
        QCOMPARE(last.mid(14), QStringLiteral(">>> 00007 Home()"));

        f->noTimeStamp = true;
        f->EdTag->setText(QStringLiteral("123456"));
        f->SendToIpp(QStringLiteral("AbortE()"));
        QVERIFY(server.waitForLines(2));
        QCOMPARE(server.received[1], QByteArray("E123456 AbortE()"));
        QCOMPARE(fx.logLines().last(), QStringLiteral(">>> E123456 AbortE()"));
        QCOMPARE(f->EdTag->text(), QStringLiteral("123457"));
    }

    void emptyCommandIsRefused()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        const int lines = f->MemoLog->lineCount();
        f->EdCurrentCommand->setText(QStringLiteral("   ; only a comment"));
        f->BtSendClick();
        f->SendToIpp(QStringLiteral(" \t "));
        QCOMPARE(f->EdTag->text(), QStringLiteral("100"));
        QCOMPARE(f->MemoLog->lineCount(), lines);
        f->SendToIpp(QStringLiteral("Home()"));
        QVERIFY(server.waitForLines(1));
        QCOMPARE(server.received, QList<QByteArray>{"00100 Home()"});
    }

    void sendingWithoutLinkShowsNotConnected()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->EdCurrentCommand->setText(QStringLiteral("Home()"));
        f->BtSend->setEnabled(true);
        f->BtSend->click();
        QCOMPARE(fx.messages.size(), 1);
        QCOMPARE(fx.messages[0].text, QStringLiteral("Not Connected."));
        QCOMPARE(fx.messages[0].icon, QMessageBox::Critical);
        QVERIFY(fx.logLines().last().endsWith(QStringLiteral(">>> 00100 Home()")));
        QCOMPARE(f->EdTag->text(), QStringLiteral("101"));
    }

    void acknowledgePacing()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        QVERIFY(f->clearToSend);
        f->SendToIpp(QStringLiteral("Home()"));
        QVERIFY(!f->clearToSend);
        QVERIFY(f->TimerCTS->isActive());
        QVERIFY(server.waitForLines(1));
        server.sendLine("00100 &");
        QTRY_VERIFY(f->clearToSend);
        QVERIFY(f->clearToSend); // nothing to wait for
    }

    void waitEndsOnAcknowledge()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        f->SendToIpp(QStringLiteral("Home()"));
        QVERIFY(server.waitForLines(1));
        QTimer::singleShot(50, &server, [&server] { server.sendLine("00100 &"); });
        QTRY_VERIFY(f->clearToSend);
        QVERIFY(!f->TimerCTS->isActive());
    }

    void timeoutShownOnceAndKeptUntilNextDispatch()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        f->TimerCTS->setInterval(60);

        // With the time-out switched off, nothing is shown and the timer runs on.
        f->noTimeout = true;
        QSignalSpy ticks(f->TimerCTS, &QTimer::timeout);
        f->SendToIpp(QStringLiteral("Home()"));
        QTRY_VERIFY(ticks.size() >= 2);
        QVERIFY(fx.messages.isEmpty());
        QVERIFY(!f->sendTimedOut);
        QVERIFY(f->TimerCTS->isActive());
        f->TimerCTS->stop();

        f->noTimeout = false;
        f->SendToIpp(QStringLiteral("Home()"));
        QTRY_VERIFY(f->sendTimedOut); // the wait ends through the time-out
        QVERIFY(!f->clearToSend);
        QVERIFY(f->sendTimedOut);
        QCOMPARE(fx.messages.size(), 1);
        QCOMPARE(fx.messages[0].caption, QStringLiteral("Error"));
        QCOMPARE(fx.messages[0].text, QStringLiteral("Timout sending command"));
        // Whatever the timer does from now on shows nothing more.
        QSignalSpy later(f->TimerCTS, &QTimer::timeout);
        if (f->TimerCTS->isActive())
            QTRY_VERIFY(later.size() >= 2);
        QCOMPARE(fx.messages.size(), 1);
        QVERIFY(f->sendTimedOut);
        f->SendToIpp(QStringLiteral("Home()"));
        QVERIFY(!f->sendTimedOut);
    }

    void timerNotRestartedWhileRunning()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        f->noTimeout = false;
        f->TimerCTS->setInterval(300);
        f->SendToIpp(QStringLiteral("Home()"));
        QTRY_VERIFY(f->TimerCTS->remainingTime() <= 150); // half of the time gone
        f->SendToIpp(QStringLiteral("Home()")); // does not restart the count
        QTRY_VERIFY_WITH_TIMEOUT(f->sendTimedOut, 250);
    }

    void sessionFollowsAnyDispatchedLine()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        f->SendToIpp(QStringLiteral("startsession()"));
        QVERIFY(f->sessionOpen);
        QCOMPARE(f->BtStart->text(), QStringLiteral("EndSession()"));
        QVERIFY(f->BtSend->isEnabled());
        f->DispatchCommand(QStringLiteral("00017 EndSession()"), true);
        QVERIFY(!f->sessionOpen);
        QCOMPARE(f->BtStart->text(), QStringLiteral("StartSession()"));
        QVERIFY(!f->BtSend->isEnabled());
    }

    void probeTypeInterceptionStaysOffTheWire()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        QVERIFY(f->cbModusFilter->isChecked());
        f->EdTag->setText(QStringLiteral("105"));
        f->SendToIpp(QStringLiteral("GetProp(Tool.ProbeType())"));
        f->SendToIpp(QStringLiteral("SetProp(Tool.GoToPar.Accel(5))"));
        // Without a relay client the made-up replies write nothing, but the
        // tag counter follows their steps: set to the tag, then decremented
        // once per made-up line after the first.
        QCOMPARE(f->interceptTag, QByteArray("00103"));
        QCOMPARE(f->EdTag->text(), QStringLiteral("102"));
        QVERIFY(f->clearToSend); // answered here, so nothing is left to wait for
        f->SendToIpp(QStringLiteral("Home()"));
        QVERIFY(server.waitForLines(1));
        QVERIFY(noLineWithin(server));
        QCOMPARE(server.received.size(), 1);
        QVERIFY(server.received[0].endsWith(" Home()"));

        f->cbModusFilter->setChecked(false);
        f->SendToIpp(QStringLiteral("GetProp(Tool.ProbeType())"));
        QVERIFY(server.waitForLines(2));
        QVERIFY(server.received[1].endsWith("GetProp(Tool.ProbeType())"));
    }

    void rewriteOfCircularMove()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        connectTo(f, server);
        f->noTimeStamp = true;
        f->cbCircularMove->setChecked(true);
        f->EdTag->setText(QStringLiteral("42"));
        f->SendToIpp(QStringLiteral("CZPositionOnSphere(x(10),y(20),z(30),5)"));
        QVERIFY(server.waitForLines(1));
        QCOMPARE(server.received[0], QByteArray("00042 GoTo(X(10),Y(20),Z(30))"));
        const QStringList log = fx.logLines();
        QCOMPARE(log[log.size() - 2], QStringLiteral(">>> 00042 CZPositionOnSphere(x(10),y(20),z(30),5)"));
        QCOMPARE(log.last(), QStringLiteral(">R>00042 GoTo(X(10),Y(20),Z(30))"));
    }
};

QTEST_MAIN(TestDispatch)
#include "tst_dispatch.moc"
