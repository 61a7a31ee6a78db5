// The demo server: its machine on its own, the server over loopback, and the
// real Torvane window talking to it.

#include "demoserver.h"
#include "support/formfixture.h"
#include "support/helpers.h"
#include "support/testserver.h"

#include "log/logview.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

namespace {

QStringList Lines(const QList<QByteArray> &raw)
{
    QStringList out;
    for (const QByteArray &l : raw)
        out << QString::fromLatin1(l);
    return out;
}

bool ContainsMatch(const QStringList &lines, const QString &pattern)
{
    const QRegularExpression re(pattern);
    for (const QString &l : lines)
        if (re.match(l).hasMatch())
            return true;
    return false;
}

} // namespace

class TestDemoServer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parseCall_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no args") << "Home()" << true << "Home" << QStringList();
        QTest::newRow("nested") << "GoTo(X(1), Y(-2.5),Z(3))" << true << "GoTo"
                                << QStringList{"X(1)", "Y(-2.5)", "Z(3)"};
        QTest::newRow("quoted comma")
            << "ChangeTool(\"a,b\")" << true << "ChangeTool" << QStringList{"\"a,b\""};
        QTest::newRow("dotted") << "GetProp(Tool.GoToPar.Speed())" << true << "GetProp"
                                << QStringList{"Tool.GoToPar.Speed()"};
        QTest::newRow("unbalanced") << "GoTo(X(1)" << false << "" << QStringList();
        QTest::newRow("extra close") << "GoTo(X(1)))" << false << "" << QStringList();
        QTest::newRow("trailing text") << "Home() x" << false << "" << QStringList();
        QTest::newRow("open quote") << "FindTool(\"P)" << false << "" << QStringList();
        QTest::newRow("empty arg") << "Get(X(),,Y())" << false << "" << QStringList();
        QTest::newRow("bad name") << "Ho-me()" << false << "" << QStringList();
    }
    void parseCall()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        DemoCall c;
        QCOMPARE(ParseDemoCall(text, &c), ok);
        if (ok) {
            QFETCH(QString, name);
            QFETCH(QStringList, args);
            QCOMPARE(c.name, name);
            QCOMPARE(c.args, args);
        }
    }

    // One command on a fresh machine (after `setup`), and the lines after '&'.
    void replies_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("expected");
        const QString t = "00007";
        auto done = QStringList{"00007 %"};
        auto err = [&](const QString &body) { return QStringList{"00007 ! Error(" + body + ")", "00007 %"}; };
        auto data = [&](const QString &body) { return QStringList{"00007 # " + body, "00007 %"}; };

        QTest::newRow("session") << QStringList() << "StartSession()" << done;
        QTest::newRow("not homed") << QStringList() << "IsHomed()" << data("IsHomed(0)");
        QTest::newRow("homed") << QStringList{"Home()"} << "IsHomed()" << data("IsHomed(1)");
        QTest::newRow("get after goto") << QStringList{"GoTo(X(10), Y(-20.5), Z(3))"} << "Get(X(),Y(),Z())"
                                        << data("X(10.0000), Y(-20.5000), Z(3.0000)");
        QTest::newRow("get r and wrist")
            << QStringList{"GoTo(Tool.A(45), Tool.B(90))"} << "Get(X(),Y(),Z(), R(), Tool.A(), Tool.B())"
            << data("X(0.0000), Y(0.0000), Z(0.0000), R(1.5000), Tool.A(45.0000), Tool.B(90.0000)");
        QTest::newRow("goto keeps other axes")
            << QStringList{"GoTo(X(1), Y(2), Z(3))", "GoTo(Y(7))"} << "Get(X(), Y(), Z())"
            << data("X(1.0000), Y(7.0000), Z(3.0000)");
        QTest::newRow("bad goto leaves position")
            << QStringList{"GoTo(X(1))", "GoTo(X(5), Q(1))"} << "Get(X())" << data("X(1.0000)");
        QTest::newRow("getprop several")
            << QStringList() << "GetProp(Tool.Name(), Tool.AvrRadius(), Tool.GoToPar.Speed())"
            << data("Tool.Name(\"Probe1\"), Tool.AvrRadius(1.5000), Tool.GoToPar.Speed(100.0000)");
        QTest::newRow("setprop then getprop")
            << QStringList{"SetProp(Tool.PtMeasPar.Approach(3.5), Tool.GoToPar.Accel(12))"}
            << "GetProp(Tool.PtMeasPar.Approach(), Tool.GoToPar.Accel())"
            << data("Tool.PtMeasPar.Approach(3.5000), Tool.GoToPar.Accel(12.0000)");
        QTest::newRow("setprop all or nothing")
            << QStringList{"SetProp(Tool.GoToPar.Speed(5), Tool.Bogus(1))"} << "GetProp(Tool.GoToPar.Speed())"
            << data("Tool.GoToPar.Speed(100.0000)");
        QTest::newRow("setprop read-only")
            << QStringList() << "SetProp(Tool.Name(3))" << err("2, 0508, SetProp,\"Property is read-only\"");
        QTest::newRow("setprop not a number") << QStringList() << "SetProp(Tool.GoToPar.Speed(fast))"
                                              << err("2, 0502, SetProp,\"Incorrect arguments\"");
        QTest::newRow("unknown property")
            << QStringList() << "GetProp(Tool.Colour())" << err("2, 0507, GetProp,\"Unknown property\"");
        QTest::newRow("enum tools") << QStringList() << "EnumTools()"
                                    << QStringList{"00007 # \"RefTool\"", "00007 # \"Probe1\"",
                                                   "00007 # \"Probe2\"",  "00007 # \"ProbeN\"",
                                                   "00007 # \"Star_1\"",  "00007 %"};
        QTest::newRow("change tool") << QStringList{"ChangeTool(\"ProbeN\")"}
                                     << "GetProp(Tool.Name(), Tool.AvrRadius())"
                                     << data("Tool.Name(\"ProbeN\"), Tool.AvrRadius(2.5000)");
        QTest::newRow("unknown tool")
            << QStringList() << "ChangeTool(\"Nope\")" << err("2, 0506, ChangeTool,\"Tool not defined\"");
        QTest::newRow("tool name unquoted")
            << QStringList() << "FindTool(Probe1)" << err("2, 0502, FindTool,\"Incorrect arguments\"");
        QTest::newRow("found tool") << QStringList{"FindTool(\"Star_1\")"} << "GetProp(FoundTool.Name())"
                                    << data("FoundTool.Name(\"Star_1\")");
        QTest::newRow("no found tool")
            << QStringList() << "GetProp(FoundTool.Name())" << err("2, 0507, GetProp,\"Unknown property\"");
        QTest::newRow("change action switch")
            << QStringList() << "GetChangeToolAction(\"Probe2\")"
            << data("ChangeToolAction(Switch, X(100.0000), Y(600.0000), Z(350.0000))");
        QTest::newRow("change action none")
            << QStringList{"GoTo(X(4))"} << "GetChangeToolAction(\"Probe1\")"
            << data("ChangeToolAction(None, X(4.0000), Y(0.0000), Z(0.0000))");
        QTest::newRow("unknown command")
            << QStringList() << "Fly()" << err("2, 0501, Fly,\"Unsupported command\"");
        QTest::newRow("case matters")
            << QStringList() << "home()" << err("2, 0501, home,\"Unsupported command\"");
        QTest::newRow("no parentheses") << QStringList() << "Home" << err("2, 0008, ,\"Protocol error\"");
        QTest::newRow("malformed") << QStringList() << "GoTo(X(1)" << err("2, 0008, ,\"Protocol error\"");
        QTest::newRow("args where none")
            << QStringList() << "Home(1)" << err("2, 0502, Home,\"Incorrect arguments\"");
        QTest::newRow("empty get") << QStringList() << "Get()" << err("2, 0502, Get,\"Incorrect arguments\"");
        QTest::newRow("motion after abort") << QStringList{"__abort"} << "GoTo(X(1))"
                                            << err("2, 1009, GoTo,\"Use ClearAllErrors to continue\"");
        QTest::newRow("cleared after abort")
            << QStringList{"__abort", "ClearAllErrors()"} << "GoTo(X(1))" << done;
        QTest::newRow("error status") << QStringList{"__abort"} << "GetErrStatusE()" << data("ErrStatus(1)");
        Q_UNUSED(t);
    }
    void replies()
    {
        QFETCH(QStringList, setup);
        QFETCH(QString, command);
        QFETCH(QStringList, expected);
        DemoMachine m;
        for (const QString &s : setup) {
            if (s == QLatin1String("__abort"))
                m.needsClear = true;
            else
                m.execute(QStringLiteral("00001"), s);
        }
        const QString tag =
            command.endsWith(QLatin1String("E()")) ? QStringLiteral("E0007") : QStringLiteral("00007");
        QStringList got = m.execute(tag, command);
        for (QString &l : got)
            l.replace(QLatin1String("E0007"), QLatin1String("00007"));
        QCOMPARE(got, expected);
    }

    void frames_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("error");
        QTest::newRow("plain") << "00012 Home()"
                               << "00012"
                               << "";
        QTest::newRow("event tag") << "E0012 AbortE()"
                                   << "E0012"
                                   << "";
        QTest::newRow("short tag") << "0012 Home()"
                                   << "E0000"
                                   << "Error(2, 0001, ,\"Illegal tag\")";
        QTest::newRow("letters") << "A0012 Home()"
                                 << "E0000"
                                 << "Error(2, 0001, ,\"Illegal tag\")";
        QTest::newRow("no space") << "00012Home()"
                                  << "00012"
                                  << "Error(2, 0002, ,\"No space at pos. 6\")";
        QTest::newRow("tag only") << "00012"
                                  << "00012"
                                  << "Error(2, 0002, ,\"No space at pos. 6\")";
    }
    void frames()
    {
        QFETCH(QString, line);
        QFETCH(QString, tag);
        QFETCH(QString, error);
        DemoMachine m;
        QString gotTag, command;
        QCOMPARE(m.checkFrame(line, &gotTag, &command), error);
        QCOMPARE(gotTag, tag);
    }

    void eventTagOnlyForEventCommands()
    {
        DemoMachine m;
        QCOMPARE(m.execute("E0003", "Home()"),
                 QStringList({"E0003 ! Error(2, 0001, Home,\"Illegal tag\")", "E0003 %"}));
        QCOMPARE(m.execute("E0004", "AbortE()"), QStringList{"E0004 %"});
    }

    void ptMeasNearTarget()
    {
        DemoMachine m;
        const QRegularExpression re(
            QStringLiteral(R"(^00005 # X\((-?[\d.]+)\), Y\((-?[\d.]+)\), Z\((-?[\d.]+)\)$)"));
        for (int i = 0; i < 20; ++i) {
            const QStringList r = m.execute("00005", "PtMeas(X(10), Y(20), Z(-30), IJK(0, 0, 2))");
            QCOMPARE(r.size(), 2);
            const auto match = re.match(r.first());
            QVERIFY2(match.hasMatch(), qPrintable(r.first()));
            QCOMPARE(match.captured(1).toDouble(), 10.0); // off only along the normal
            QCOMPARE(match.captured(2).toDouble(), 20.0);
            QVERIFY(qAbs(match.captured(3).toDouble() + 30.0) <= m.noise + 1e-9);
            // Retracted along the normal afterwards.
            QVERIFY(qAbs(m.z - (match.captured(3).toDouble() + 2.0)) < 1e-4);
        }
        QCOMPARE(m.execute("00006", "PtMeas(X(1), IJK(0, 0, 0))").size(), 2); // zero normal: no crash
        QCOMPARE(m.execute("00006", "PtMeas(X(1), IJK(a, 0, 1))").first(),
                 QStringLiteral("00006 ! Error(2, 0502, PtMeas,\"Incorrect arguments\")"));
    }

    // Over the wire: acknowledge at once, the rest after the delay; lines
    // split across packets, LF-only and LF CR ends and empty lines.
    void serverAcknowledgesAndCompletes()
    {
        DemoServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        TestRelayClient client;
        QVERIFY(client.connectTo(server.port()));
        client.sendRaw("00001 Start");
        client.sendRaw("Session()\r\n\r\n00002 Get(X(),Y(),Z())\n");
        QVERIFY(client.waitForLines(5));
        QCOMPARE(Lines(client.received),
                 QStringList({"00001 &", "00001 %", "00002 &", "00002 # X(0.0000), Y(0.0000), Z(0.0000)",
                              "00002 %"}));
        QVERIFY(server.machine.sessionOpen);

        client.received.clear();
        client.sendRaw("bogus\n\r"); // LF CR: the CR is this line's, not the next one's
        QVERIFY(client.waitForLines(1));
        QCOMPARE(Lines(client.received), QStringList({"E0000 ! Error(2, 0001, ,\"Illegal tag\")"}));

        // 8-bit bytes survive.
        client.received.clear();
        client.sendLine("00003 FindTool(\"Pr\xe9\")");
        QVERIFY(client.waitForLines(3));
        QCOMPARE(client.received.at(1), QByteArray("00003 ! Error(2, 0506, FindTool,\"Tool not defined\")"));
    }

    void delayedQueueAndAbort()
    {
        DemoServer server;
        server.delayMs = 30;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        TestRelayClient client;
        QVERIFY(client.connectTo(server.port()));
        client.sendLine("00001 GoTo(X(1))");
        client.sendLine("00002 GoTo(X(2))");
        QVERIFY(client.waitForLines(2));
        QCOMPARE(Lines(client.received),
                 QStringList({"00001 &", "00002 &"})); // acknowledged before completion
        QVERIFY(client.waitForLines(4));
        QCOMPARE(Lines(client.received).mid(2), QStringList({"00001 %", "00002 %"})); // in order

        // A long delay: AbortE overtakes the queue and aborts it.
        client.received.clear();
        server.delayMs = 60000;
        client.sendLine("00003 GoTo(X(3))");
        client.sendLine("00004 Home()");
        QVERIFY(client.waitForLines(2));
        client.sendLine("E0005 AbortE()");
        QVERIFY(client.waitForLines(8));
        QCOMPARE(Lines(client.received).mid(2),
                 QStringList({"E0005 &", "00003 ! Error(2, 0006, GoTo,\"Transaction aborted\")", "00003 %",
                              "00004 ! Error(2, 0006, Home,\"Transaction aborted\")", "00004 %", "E0005 %"}));
        QCOMPARE(server.machine.x, 2.0);
        QVERIFY(server.machine.needsClear);
    }

    void eventsAndClients()
    {
        DemoServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        TestRelayClient a, b;
        QVERIFY(a.connectTo(server.port()));
        QVERIFY(b.connectTo(server.port()));
        QTRY_COMPARE(server.clientCount(), 2);
        server.machine.x = 1.5;
        server.sendEvent();
        QVERIFY(a.waitForLines(1));
        QVERIFY(b.waitForLines(1));
        QCOMPARE(a.received.first(), QByteArray("E9003 # X(1.5000), Y(0.0000), Z(0.0000)"));
        server.setEventInterval(10);
        QVERIFY(a.waitForLines(3));
        server.setEventInterval(0);
        QVERIFY(!server.eventTimer.isActive());

        // A client that sends an endless line is dropped; the other stays.
        server.maxLineLength = 1000;
        b.sendRaw(QByteArray(5000, 'x'));
        QVERIFY(b.waitForClose());
        QTRY_COMPARE(server.clientCount(), 1);
        a.received.clear();
        a.sendLine("00001 IsHomed()");
        QVERIFY(a.waitForLines(3));
    }

    // The real window against the demo server: connect, open a session and
    // press the shortcut buttons; each gets its acknowledge and a plausible reply.
    void torvaneWindowAgainstDemo()
    {
        DemoServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        FormFixture form(iniWithFreeRelayPort());
        form->EdPort->setText(QString::number(server.port()));
        form->BtConnectClick();
        QTRY_VERIFY(form->serverConnected);
        form->EdTag->setText("100");
        form->BtStartClick();
        QTRY_VERIFY(form->clearToSend);
        QTRY_VERIFY(ContainsMatch(form.logLines(), "<<< 00100 %$"));
        QVERIFY(server.machine.sessionOpen);

        form->CBWithRT->setChecked(true);
        form->BtGetClick();
        QTRY_VERIFY(ContainsMatch(form.logLines(),
                                  R"(<<< 00101 # X\(0.0000\), Y\(0.0000\), Z\(0.0000\), R\(1.5000\)$)"));
        form->BtEnumClick();
        QTRY_VERIFY(ContainsMatch(form.logLines(), "<<< 00102 # \"ProbeN\"$"));
        form->EdToolF->setText("\"Probe 2\"");
        form->BBtChange2Click();
        QTRY_VERIFY(ContainsMatch(form.logLines(), "<<< 00103 %$"));
        QCOMPARE(server.machine.tools.at(server.machine.currentTool).name, QStringLiteral("Probe2"));
        form->BtCTAClick();
        QTRY_VERIFY(ContainsMatch(form.logLines(), R"(<<< 00104 # ChangeToolAction\(None,)"));
        form->BTAbortEClick();
        QTRY_VERIFY(ContainsMatch(form.logLines(), "<<< E0105 %$"));
        form->SendToIpp("PtMeas(X(5), Y(5), Z(-1), IJK(0,0,1))");
        QTRY_VERIFY(
            ContainsMatch(form.logLines(), R"(<<< 00106 # X\(5.0000\), Y\(5.0000\), Z\(-?[01]\.\d{4}\)$)"));
        form->SendToIpp("Bogus()");
        QTRY_VERIFY(
            ContainsMatch(form.logLines(), "<<< 00107 ! Error\\(2, 0501, Bogus,\"Unsupported command\"\\)$"));
        QTRY_VERIFY(ContainsMatch(form.logLines(), "<<< 00107 %$"));
        QVERIFY(form.messages.isEmpty());

        // Disconnecting ends the session first.
        form->BtConnectClick();
        QTRY_VERIFY(!form->serverConnected);
        QTRY_VERIFY(!server.machine.sessionOpen);
    }

    // Events from the server reach the log and can be excluded.
    void eventsInTheLog()
    {
        DemoServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        FormFixture form(iniWithFreeRelayPort());
        form->EdPort->setText(QString::number(server.port()));
        form->BtConnectClick();
        QTRY_VERIFY(form->serverConnected);
        QTRY_COMPARE(server.clientCount(), 1);
        server.sendEvent();
        QTRY_VERIFY(ContainsMatch(form.logLines(), "<<< E9003 # X\\("));
    }
};

QTEST_MAIN(TestDemoServer)
#include "tst_demoserver.moc"
