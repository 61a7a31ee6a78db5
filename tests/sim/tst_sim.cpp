// The simulator towards the relay client, through the real window.

#include "support/relayrig.h"

#include <QCheckBox>

namespace {
// Every reply a real server gives, with a probing result as its data.
QList<QByteArray> probeReply(const QByteArray &line)
{
    return fullReply(line, "X(1), Y(2), Z(3)");
}
} // namespace

class TestSim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void injectedError_data()
    {
        QTest::addColumn<bool>("toolError");
        QTest::addColumn<QByteArray>("error");
        QTest::newRow("no touch") << false << QByteArray("00012 ! Error(2, 1006, PtMeas,\"no Touch\")");
        QTest::newRow("tool error")
            << true
            << QByteArray(
                   "00012 ! Error(2, 2100, PtMeas,\"Tool not appropriate, Server initiated Tool Change\")");
    }
    void injectedError()
    {
        QFETCH(bool, toolError);
        QFETCH(QByteArray, error);
        RelayRig rig;
        rig.server.script = probeReply;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        (toolError ? rig.f->cbToolError : rig.f->cbError)->setChecked(true);

        client.sendLine("00012 PtMeas(X(1),Y(2),Z(3))");
        QVERIFY(client.waitForLines(3));
        QCOMPARE(client.received, (QList<QByteArray>{"00012 &", error, "00012 %"}));
        QCOMPARE(rig.server.received, QList<QByteArray>{"00012 PtMeas(X(1),Y(2),Z(3))"});
        QVERIFY(rig.logHas(QStringLiteral("<F< ") + QString::fromLatin1(error)));
        QVERIFY(rig.logHas(QStringLiteral("<$< 00012 &")));
        QVERIFY(rig.logHas(QStringLiteral("<$< 00012 %")));
        QVERIFY(!rig.f->cbError->isChecked());
        QVERIFY(!rig.f->cbToolError->isChecked());
        QVERIFY(rig.f->interceptTag.isEmpty());

        // One error per ticking.
        client.sendLine("00013 PtMeas(X(1),Y(2),Z(3))");
        QVERIFY(client.waitForLines(6));
        QCOMPARE(client.received.at(4), QByteArray("00013 # X(1), Y(2), Z(3)"));
    }

    // A reply for the intercepted tag that isn't its data line is left alone,
    // and so is an operator command's data line.
    void injectionOnlyOnDataLine()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) -> QList<QByteArray> {
            const QByteArray tag = line.left(5);
            return {tag + " &", tag + " ! Error(1, 0500, PtMeas, \"other\")", tag + " %"};
        };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->cbError->setChecked(true);
        client.sendLine("00020 PtMeas(X(1))");
        QVERIFY(client.waitForLines(3));
        QCOMPARE(client.received.at(1), QByteArray("00020 ! Error(1, 0500, PtMeas, \"other\")"));
        QVERIFY(rig.f->cbError->isChecked());
        QCOMPARE(rig.f->interceptTag, QByteArray("00020"));
    }

    void probeTypeReplies()
    {
        RelayRig rig;
        rig.server.autoAcknowledge = true;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        QVERIFY(rig.f->cbModusFilter->isChecked());

        client.sendLine("00009 GetProp(FoundTool.ProbeType())");
        QVERIFY(client.waitForLines(3));
        QCOMPARE(client.received,
                 (QList<QByteArray>{"00009 &", "00009 # FoundTool.ProbeType(-1)", "00009 %"}));
        QVERIFY(rig.logHas(QStringLiteral("<F<00009 # FoundTool.ProbeType(-1)")));

        client.sendLine("00010 GetProp(Tool.probetype())");
        QVERIFY(client.waitForLines(6));
        QCOMPARE(client.received.mid(3),
                 (QList<QByteArray>{"00010 &", "00010 # Tool.ProbeType(-1)", "00010 %"}));

        // Acceleration settings: an empty transaction, and EdTag borrowed.
        rig.f->EdTag->setText(QStringLiteral("105"));
        client.sendLine("00042 SetProp(Tool.GoToPar.Accel(10))");
        QVERIFY(client.waitForLines(8));
        QCOMPARE(client.received.mid(6), (QList<QByteArray>{"00042 &", "00042 %"}));
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("43"));

        // An event-tagged query is answered with its own tag.
        client.sendLine("E0044 SetPropE(Tool.GoToPar.Accel(10))");
        QVERIFY(client.waitForLines(10));
        QCOMPARE(client.received.mid(8), (QList<QByteArray>{"E0044 &", "E0044 %"}));
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("45"));
        rig.f->btFakeClose->click();
        QVERIFY(client.waitForLines(11));
        QCOMPARE(client.received.at(10), QByteArray("00045 %"));

        // None of it reached the server; the next real command does.
        client.sendLine("00043 Home()");
        QVERIFY(rig.server.waitForLines(1));
        QCOMPARE(rig.server.received, QList<QByteArray>{"00043 Home()"});

        // Without the filter the query goes to the server.
        rig.f->cbModusFilter->setChecked(false);
        client.sendLine("00044 GetProp(Tool.ProbeType())");
        QVERIFY(rig.server.waitForLines(2));
        QCOMPARE(rig.server.received.last(), QByteArray("00044 GetProp(Tool.ProbeType())"));
    }

    // The operator's own query is answered in the log only.
    void operatorProbeTypeStaysLocal()
    {
        RelayRig rig;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->EdTag->setText(QStringLiteral("200"));
        rig.f->RunHandler([&] { rig.f->SendToIpp(QStringLiteral("GetProp(Tool.ProbeType())")); });
        QVERIFY(rig.logHas(QStringLiteral("<F<00200 # Tool.ProbeType(-1)")));
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("201"));
        rig.f->BtF1->click();
        QVERIFY(client.waitForLines(1));
        QVERIFY(noLineWithin(client));
        QCOMPARE(client.received, QList<QByteArray>{"E0000 # KeyPress(\"F1\")"});
        QVERIFY(rig.server.received.isEmpty());
    }

    void rewriteBeforeServer()
    {
        RelayRig rig;
        rig.server.script = probeReply;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->cbCircularMove->setChecked(true);
        client.sendLine("00042 CZPositionOnSphere(x(10),y(20),z(30),5)");
        QVERIFY(client.waitForLines(3));
        QCOMPARE(rig.server.received, QList<QByteArray>{"00042 GoTo(X(10),Y(20),Z(30))"});
        QVERIFY(rig.logHas(QStringLiteral(">R>00042 GoTo(X(10),Y(20),Z(30))")));
        QCOMPARE(client.received.first(), QByteArray("00042 &"));
    }

    void eventsAndFakeLines()
    {
        RelayRig rig;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->BtF1->click();
        rig.f->BtF2->click();
        rig.f->BtF3->click();
        rig.f->BtF4->click();
        rig.f->btError9->click();
        rig.f->EdTag->setText(QStringLiteral("17"));
        rig.f->btFakeClose->click();
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("17"));
        rig.f->btFakeXon->click();
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("17"));
        QVERIFY(client.waitForLines(7));
        QCOMPARE(client.received,
                 (QList<QByteArray>{"E0000 # KeyPress(\"F1\")", "E0000 # KeyPress(\"F2\")",
                                    "E0000 # KeyPress(\"F3\")", "E0000 # KeyPress(\"F4\")",
                                    "E0000 ! Error(9, 0503, ,\"Controller E-STOP Fatal Error\")", "00017 %",
                                    "00017 &"}));
        QVERIFY(rig.logHas(QStringLiteral("<F< E0000 # KeyPress(\"F2\")")));
        QVERIFY(rig.logHas(QStringLiteral("<F< E0000 ! Error(9, 0503, ,\"Controller E-STOP Fatal Error\")")));
        QVERIFY(rig.logHas(QStringLiteral("<F<00017 %")));
        QVERIFY(rig.logHas(QStringLiteral("<F<00017 &")));

        // The exclude filter keeps event lines out of the log, not off the wire.
        rig.f->EdExclude->setText(QStringLiteral("F3"));
        rig.f->CbExclude->setChecked(true);
        const int before = rig.f->MemoLog->lineCount();
        rig.f->BtF3->click();
        QVERIFY(client.waitForLines(8));
        QCOMPARE(rig.f->MemoLog->lineCount(), before);
    }

    void nothingWithoutClient()
    {
        RelayRig rig;
        const int before = rig.f->MemoLog->lineCount();
        rig.f->EdTag->setText(QStringLiteral("17"));
        rig.f->btFakeClose->click();
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("16"));
        rig.f->btFakeXon->click();
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("15"));
        rig.f->BtF1->click();
        rig.f->ReplyEmptyTransaction(QStringLiteral("00042"));
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("41"));
        rig.f->ReplyDataTransaction(QStringLiteral("00042"), QStringLiteral("# x"));
        QCOMPARE(rig.f->EdTag->text(), QStringLiteral("40"));
        QCOMPARE(rig.f->MemoLog->lineCount(), before);
    }

    void newTool_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("increment");
        QTest::addColumn<QByteArray>("event");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("message");
        QTest::newRow("Probe_7") << "Probe_7" << true << QByteArray("E0000 # ChangeTool(\"Probe_7\")")
                                 << "Probe_8" << QString();
        QTest::newRow("leading zeros")
            << "Probe_007" << true << QByteArray("E0000 # ChangeTool(\"Probe_007\")") << "Probe_8"
            << QString();
        QTest::newRow("cleaned") << "\"Pro be_1\"" << true << QByteArray("E0000 # ChangeTool(\"Probe_1\")")
                                 << "Probe_2" << QString();
        QTest::newRow("not a number")
            << "Probe_A1" << true << QByteArray("E0000 # ChangeTool(\"Probe_A1\")") << "Probe_A1"
            << "'A1' is not a valid integer value.";
        QTest::newRow("no increment")
            << "Probe_7" << false << QByteArray("E0000 # ChangeTool(\"Probe_7\")") << "Probe_7" << QString();
        QTest::newRow("no underscore")
            << "Star" << true << QByteArray("E0000 # ChangeTool(\"Star\")") << "Star" << QString();
    }
    void newTool()
    {
        QFETCH(QString, typed);
        QFETCH(bool, increment);
        QFETCH(QByteArray, event);
        QFETCH(QString, after);
        QFETCH(QString, message);
        RelayRig rig;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->cbIncrementTool->setChecked(increment);
        rig.f->EdNewTool->setText(typed);
        rig.f->RunHandler([&] { rig.f->BtNewToolClick(); });
        QVERIFY(client.waitForLines(1));
        QCOMPARE(client.received.first(), event);
        QVERIFY(rig.logHas(QStringLiteral("<F< ") + QString::fromLatin1(event)));
        QCOMPARE(rig.f->edToolC->text(), after);
        if (message.isEmpty()) {
            QVERIFY(rig.f.messages.isEmpty());
            if (increment)
                QCOMPARE(rig.f->EdNewTool->text(), after);
        } else {
            QCOMPARE(rig.f.messages.size(), 1);
            QCOMPARE(rig.f.messages.first().text, message);
        }
    }

    void errorBoxesExcludeEachOther()
    {
        RelayRig rig;
        rig.f->cbError->setChecked(true);
        rig.f->cbToolError->click();
        QVERIFY(rig.f->cbToolError->isChecked());
        QVERIFY(!rig.f->cbError->isChecked());
        rig.f->cbError->click();
        QVERIFY(rig.f->cbError->isChecked());
        QVERIFY(!rig.f->cbToolError->isChecked());
    }
};

QTEST_MAIN(TestSim)
#include "tst_sim.moc"
