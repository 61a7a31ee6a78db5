// The server link through the real window: connect, incoming lines,
// acknowledge detection, link loss.

#include "support/formfixture.h"
#include "support/testserver.h"

#include "log/logview.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include "link/linereader.h"
#include <QTest>

class TestLink : public QObject {
    Q_OBJECT

    static void pointAt(TForm1 *f, quint16 port)
    {
        f->EdHost->setText(QStringLiteral("localhost"));
        f->EdPort->setText(QString::number(port));
    }

private Q_SLOTS:
    void connectsLogsAndDisconnects()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        pointAt(f, server.port());
        f->BtConnect->click();
        QTRY_VERIFY(f->serverConnected);
        QCOMPARE(f->LaStatus->text(), QStringLiteral("Connected."));
        QCOMPARE(f->BtConnect->text(), QStringLiteral("Disconnect"));
        QVERIFY(f->BtStart->isEnabled());
        QVERIFY(f->clearToSend);
        QVERIFY(fx.logLines().last().startsWith(QStringLiteral("---------- Connected  ")));
        QVERIFY(server.waitForClient());

        // One line in pieces, then several in one piece, an empty line dropped.
        QSignalSpy firstPiece(f->IdTCPClient1->socket(), &QIODevice::readyRead);
        server.sendRaw("00100 &");
        QVERIFY(firstPiece.wait()); // the window has read it
        server.sendRaw("\r\n00100 # X(1)\r\n\r\n00100 %\n");
        QTRY_COMPARE(f->MemoLog->lineCount(), 5);
        const QStringList log = fx.logLines();
        QVERIFY(log[2].endsWith(QStringLiteral("<<< 00100 &")));
        QCOMPARE(log[2].indexOf(QStringLiteral("<<< ")), 14); // 14-character time stamp first
        QVERIFY(log[3].endsWith(QStringLiteral("<<< 00100 # X(1)")));
        QVERIFY(log[4].endsWith(QStringLiteral("<<< 00100 %")));

        f->BtConnect->click();
        QVERIFY(!f->serverConnected);
        QCOMPARE(f->LaStatus->text(), QStringLiteral("Disconnected."));
        QCOMPARE(f->BtConnect->text(), QStringLiteral("Connect"));
        QVERIFY(fx.logLines().last().startsWith(QStringLiteral("---------- Disconnected  ")));
        QTRY_VERIFY(!server.hasClient());
    }

    void failedConnectOnlySetsStatus()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        pointAt(f, FreePort());
        const QStringList before = fx.logLines();
        f->clearToSend = true;
        f->BtConnect->click();
        QTRY_COMPARE(f->LaStatus->text(), QStringLiteral("Error: Cannot connect ..."));
        QVERIFY(!f->serverConnected);
        QVERIFY(!f->clearToSend);
        QCOMPARE(fx.logLines(), before);
        QVERIFY(fx.messages.isEmpty());

        f->EdPort->setText(QStringLiteral("12ab"));
        f->BtConnect->click();
        QCOMPARE(fx.messages.size(), 1);
        QCOMPARE(fx.messages[0].text, QStringLiteral("'12ab' is not a valid integer value."));
        QCOMPARE(fx.messages[0].icon, QMessageBox::Critical);
    }

    void acknowledgeOnUntrimmedSeventhCharacter()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        pointAt(f, server.port());
        f->BtConnect->click();
        QVERIFY(server.waitForClient());
        f->clearToSend = false;
        f->TimerCTS->start();
        server.sendLine("  00012 &"); // '&' is seventh only after trimming
        QTRY_VERIFY(fx.logLines().last().endsWith(QStringLiteral("00012 &")));
        QVERIFY(!f->clearToSend);
        QVERIFY(f->TimerCTS->isActive());
        server.sendLine("00012 &");
        QTRY_VERIFY(f->clearToSend);
        QVERIFY(!f->TimerCTS->isActive());
        server.sendLine("00012"); // too short to be an acknowledge
        QTRY_VERIFY(fx.logLines().last().endsWith(QStringLiteral("<<< 00012")));
    }

    void linkLossEndsSessionAndResetsControls()
    {
        TestServer server;
        server.autoAcknowledge = true;
        FormFixture fx;
        TForm1 *f = fx.form();
        pointAt(f, server.port());
        f->BtConnect->click();
        QTRY_VERIFY(f->serverConnected);
        f->BtStart->click();
        QVERIFY(f->sessionOpen);
        QVERIFY(f->BtEnum->isEnabled());
        QVERIFY(server.waitForLines(1));
        // A line that arrives just before the close is still handled.
        server.sendLine("E0000 # KeyPress(\"F1\")");
        server.dropClient();
        QTRY_VERIFY(!f->serverConnected);
        QVERIFY(!f->sessionOpen);
        QVERIFY(!f->clearToSend);
        QVERIFY(!f->BtStart->isEnabled());
        QVERIFY(!f->BtEnum->isEnabled());
        QCOMPARE(f->BtStart->text(), QStringLiteral("StartSession()"));
        QCOMPARE(f->BtConnect->text(), QStringLiteral("Connect"));
        QCOMPARE(f->LaStatus->text(), QStringLiteral("Disconnected."));
        const QStringList log = fx.logLines();
        QVERIFY(log.last().startsWith(QStringLiteral("---------- Disconnected")));
        QVERIFY(log[log.size() - 2].endsWith(QStringLiteral("<<< E0000 # KeyPress(\"F1\")")));
        QVERIFY(fx.messages.isEmpty());
    }

    void overlongLineClosesTheLink()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        pointAt(f, server.port());
        f->BtConnect->click();
        QVERIFY(server.waitForClient());
        server.sendLine("00001 & ");
        const QByteArray longest = "00001 # " + QByteArray(MaxLineLength - 8, 'L');
        server.sendLine(longest); // MaxLineLength characters and CR LF: still a line
        QTRY_VERIFY(fx.logLines().last().endsWith(QString::fromLatin1(longest)));
        QVERIFY(f->serverConnected);
        server.sendRaw(QByteArray(1024 * 1024, 'x')); // 1 MB, no LF
        QTRY_VERIFY(!f->serverConnected);
        const QStringList log = fx.logLines();
        QVERIFY(log.join('\n').contains(QStringLiteral("<<< 00001 & ")));
        QVERIFY(log.join('\n').contains(QStringLiteral("longer than %1").arg(MaxLineLength)));
        QVERIFY(log.last().startsWith(QStringLiteral("---------- Disconnected")));
        QTRY_VERIFY(!server.hasClient());
        // The window can connect again afterwards.
        f->BtConnect->click();
        QTRY_VERIFY(f->serverConnected);
    }

    void disconnectEndsAnOpenSessionFirst()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        pointAt(f, server.port());
        f->EdTag->setText(QStringLiteral("100"));
        f->BtConnect->click();
        QTRY_VERIFY(f->serverConnected);
        f->BtStart->click();
        f->BtConnect->click();
        QVERIFY(f->serverConnected); // the server has its moment to end the session
        QTRY_VERIFY(!f->serverConnected);
        QVERIFY(server.waitForLines(2));
        QCOMPARE(server.received[0], QByteArray("00100 StartSession()"));
        QCOMPARE(server.received[1], QByteArray("00101 EndSession()"));
    }

    void freezeAndExcludeApplyToServerLines()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        pointAt(f, server.port());
        f->CbFreeze->setChecked(true);
        f->SetFrozen(true);
        f->BtConnect->click(); // connecting unfreezes
        QTRY_VERIFY(f->serverConnected);
        QVERIFY(!f->logFrozen);
        QVERIFY(!f->CbFreeze->isChecked());
        QVERIFY(server.waitForClient());

        f->CbExclude->setChecked(true);
        f->EdExclude->setText(QStringLiteral(" E9003 # "));
        server.sendLine("E9003 # KeyPress(\"F1\")");
        server.sendLine("00001 &");
        QTRY_VERIFY(fx.logLines().last().endsWith(QStringLiteral("<<< 00001 &")));
        QVERIFY(!fx.logLines().join('\n').contains(QStringLiteral("E9003")));
        QVERIFY(f->clearToSend); // a filtered line is still handled

        f->CbFreeze->click();
        QVERIFY(f->logFrozen);
        const int before = f->MemoLog->lineCount();
        server.sendLine("00002 &");
        QTRY_COMPARE(f->CbFreeze->palette().color(QPalette::Window), QColor(Qt::red));
        QCOMPARE(f->MemoLog->lineCount(), before);
        server.dropClient(); // the disconnect is logged while frozen
        QTRY_COMPARE(f->MemoLog->lineCount(), before + 1);
    }

    // A name that doesn't resolve: the click returns at once, the window
    // keeps running while the look-up goes on, and only the status changes.
    void unresolvableHostLeavesTheWindowLive()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->EdHost->setText(QStringLiteral("torvane-nowhere.invalid"));
        f->EdPort->setText(QStringLiteral("1"));
        const QStringList before = fx.logLines();
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(1);
        f->BtConnect->click();
        QCOMPARE(f->LaStatus->text(), QStringLiteral("Resolving hostname torvane-nowhere.invalid."));
        QVERIFY(f->LinkSettling());
        f->BtConnect->click(); // a second click while it runs changes nothing
        QTRY_COMPARE_WITH_TIMEOUT(f->LaStatus->text(), QStringLiteral("Error: Cannot connect ..."), 10000);
        QVERIFY(ticks > 0);
        QVERIFY(!f->LinkSettling());
        QVERIFY(!f->serverConnected);
        QCOMPARE(fx.logLines(), before);
        QVERIFY(fx.messages.isEmpty());
    }
};

QTEST_MAIN(TestLink)
#include "tst_link.moc"
