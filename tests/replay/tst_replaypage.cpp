// The inspector's Replay page in the real window: a recording serves a
// relay client in place of the server, and plays the client against a
// scripted server after asking about the motion commands.

#include "app/profile.h"
#include "inspect/inspectorwindow.h"
#include "inspect/replaypage.h"
#include "support/relayrig.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QRadioButton>
#include <QTableWidget>

using inspect::ReplayPage;

namespace {

const QByteArray Recorded = "---------- Client connected to our server  09.Dec.2026 - 12.46.15.311\r\n"
                            "12.46.15:312  >$> 00001 StartSession()\r\n"
                            "12.46.15:312  <$< 00001 &\r\n"
                            "12.46.15:352  <$< 00001 %\r\n"
                            "12.46.15:394  >$> 00002 GetProp(Tool.Name())\r\n"
                            "12.46.15:395  <$< 00002 &\r\n"
                            "12.46.15:434  <$< 00002 # Tool.Name(\"Probe1\")\r\n"
                            "12.46.15:434  <$< 00002 %\r\n"
                            "12.46.15:436  >$> 00003 GoTo(X(10), Y(20), Z(-5))\r\n"
                            "12.46.15:436  <$< 00003 &\r\n"
                            "12.46.15:475  <$< 00003 %\r\n"
                            "12.46.15:480  >$> 00004 EndSession()\r\n"
                            "12.46.15:481  <$< 00004 &\r\n"
                            "12.46.15:482  <$< 00004 %\r\n";

ReplayPage *OpenPage(FormFixture &f, const QString &recording, bool playClient)
{
    f->ShowInspector();
    ReplayPage *page = f->replayPage;
    if (!page)
        return nullptr;
    page->fileEdit->setText(recording);
    page->fileButton->setChecked(true);
    page->modeBox->setCurrentIndex(playClient ? 1 : 0);
    page->speedBox->setValue(0);
    return page;
}

} // namespace

class TestReplayPage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The page serves the relay client: the replayed answers carry the
    // client's tags and are logged as the program's own, no server link is
    // brought up, a command the recording lacks gets the error answer, and
    // the diff names it and leads to its log line. The choices are kept.
    void servesRelayClient()
    {
        RelayRig rig;
        const QString path = rig.f.dir() + QStringLiteral("/recorded.log");
        writeFile(path, Recorded);
        ReplayPage *page = OpenPage(rig.f, path, false);
        QVERIFY(page);
        page->toleranceBox->setValue(0.5);
        QSignalSpy finished(page, &ReplayPage::finished);
        QVERIFY(page->start());
        QVERIFY(page->serving());

        TestRelayClient client;
        QVERIFY(client.connectTo(rig.relayPort));
        QTRY_VERIFY(rig.f->RelayClientConnected());
        client.sendLine("00101 StartSession()");
        client.sendLine("00102 GetProp( Tool.Name() )");
        QVERIFY(client.waitForLines(5));
        QTRY_COMPARE(page->progressLabel->text(), QStringLiteral("2 of 4 transactions"));
        client.sendLine("00103 GoTo(X(10.2), Y(20), Z(-5))"); // within the tolerance
        client.sendLine("00104 Home()");
        QVERIFY(client.waitForLines(10));
        QCOMPARE(client.received,
                 QList<QByteArray>({"00101 &", "00101 %", "00102 &", "00102 # Tool.Name(\"Probe1\")",
                                    "00102 %", "00103 &", "00103 %", "00104 &",
                                    "00104 ! Error(3, 0501, Home, \"Unsupported command\")", "00104 %"}));
        QVERIFY(!rig.f->serverConnected);
        QVERIFY(rig.logHas(QStringLiteral(">$> 00104 Home()")));
        QVERIFY(rig.logHas(QStringLiteral("<F< 00102 # Tool.Name(\"Probe1\")")));
        QCOMPARE(rig.logCount(QStringLiteral("<$< ")), 0);

        client.close();
        QVERIFY(finished.wait() || finished.count() == 1);
        QVERIFY(!page->running());
        const replay::Diff &d = page->diff();
        QCOMPARE(d.matched, 3);
        QCOMPARE(d.extra, 1);
        QCOMPARE(d.missing, 1); // EndSession was never sent
        QCOMPARE(page->diffTable->rowCount(), 2);
        int homeRow = -1;
        for (int r = 0; r < page->diffTable->rowCount(); ++r)
            if (page->diffTable->item(r, 3)->text() == QLatin1String("00104 Home()"))
                homeRow = r;
        QVERIFY(homeRow >= 0);
        Q_EMIT page->diffTable->cellDoubleClicked(homeRow, 0);
        QCOMPARE(rig.f.logLines().value(rig.f->MemoLog->cursorLine()), QStringLiteral(">$> 00104 Home()"));

        // A client that comes after the replay goes to the server again.
        QVERIFY(!page->serving());

        ProfileFile ini;
        rig.f->SaveInspectorSettings(ini);
        inspect::ReplaySettings kept;
        inspect::ReadReplaySettings(ini, kept);
        QVERIFY(kept.present);
        QCOMPARE(kept.recording, path);
        QCOMPARE(kept.tolerance, 0.5);
        QCOMPARE(kept.speed, 0.0);
        QVERIFY(!kept.playClient);
    }

    // Client replay asks first, naming the motion commands; refused, nothing
    // goes out. Accepted, the commands go out with fresh tags as the
    // operator's, and what the server answers differently is in the diff.
    // The traffic log itself can be the recording.
    void playsClientAfterAsking()
    {
        RelayRig rig;
        rig.server.autoAcknowledge = true;
        const QString path = rig.f.dir() + QStringLiteral("/recorded.log");
        writeFile(path, Recorded);
        QVERIFY(rig.connectServer());
        ReplayPage *page = OpenPage(rig.f, path, true);
        QVERIFY(page);
        QSignalSpy finished(page, &ReplayPage::finished);

        rig.f.confirmAnswer = false;
        QVERIFY(page->start());
        QTRY_VERIFY(!page->running());
        QCOMPARE(rig.f.dialogs.size(), 1);
        QVERIFY(rig.f.dialogs[0].filter.contains(QLatin1String("1 motion command:")));
        QVERIFY(rig.server.received.isEmpty());
        QCOMPARE(finished.count(), 0);

        rig.f.confirmAnswer = true;
        QVERIFY(page->start());
        QVERIFY(finished.wait());
        QCOMPARE(rig.server.received.size(), 4);
        QVERIFY(rig.server.received[2].endsWith(" GoTo(X(10), Y(20), Z(-5))"));
        QVERIFY(rig.logHas(QStringLiteral(">>> ") + QString::fromLatin1(rig.server.received[1])));
        // The scripted server answers '&' and '%' only: the tool name is missing.
        const replay::Diff &d = page->diff();
        QCOMPARE(d.matched, 4);
        QCOMPARE(d.changed, 1);
        // (Times are not held against the recording here: a loaded machine
        // can make any of them slow.)
        int changedRow = -1;
        for (int r = 0; r < page->diffTable->rowCount(); ++r)
            if (page->diffTable->item(r, 4)->text().contains(QLatin1String("removed \"# Tool.Name(")))
                changedRow = r;
        QVERIFY(changedRow >= 0);
        Q_EMIT page->diffTable->cellDoubleClicked(changedRow, 0);
        QCOMPARE(rig.f.logLines().value(rig.f->MemoLog->cursorLine()),
                 QStringLiteral(">>> ") + QString::fromLatin1(rig.server.received[1]));

        // The log now holds that replay: played again from the log, the same
        // commands go out once more.
        page->logButton->setChecked(true);
        page->legBox->setCurrentIndex(1); // the operator's
        QVERIFY(page->start());
        QVERIFY(finished.wait());
        QCOMPARE(rig.server.received.size(), 8);
        const replay::Diff &again = page->diff();
        QVERIFY(again.matched == 4 && again.missing == 0 && again.extra == 0 && again.changed == 0);
    }
};

QTEST_MAIN(TestReplayPage)
#include "tst_replaypage.moc"
