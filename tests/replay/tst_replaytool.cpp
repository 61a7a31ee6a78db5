// torvane-replay as a process, end to end: a session recorded through the
// tap from the demo server is served back to the same client, played again
// against a demo server with scripted faults, and the NIST suite's client
// logs are served back; then the inputs it must refuse.

#include "support/testserver.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// A program that says on stdout or stderr which port it took.
struct Program {
    QProcess process;
    QByteArray out, err;
    quint16 port = 0;

    bool start(const QString &binary, const QStringList &args, const char *portPattern)
    {
        process.start(binary, args);
        if (!process.waitForStarted())
            return false;
        const QRegularExpression re{QLatin1String(portPattern)};
        QRegularExpressionMatch m;
        for (int i = 0; i < 100; ++i) {
            out += process.readAllStandardOutput();
            err += process.readAllStandardError();
            m = re.match(QString::fromLatin1(out + err));
            if (m.hasMatch())
                break;
            if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
                return false;
        }
        port = quint16(m.captured(1).toUInt());
        return port != 0;
    }
    // Waits for the end while the test's own peers go on.
    int finish()
    {
        for (int i = 0; i < 800 && process.state() != QProcess::NotRunning; ++i)
            QTest::qWait(25);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};

bool StartDemo(Program &demo, const QStringList &more = {})
{
    return demo.start(QStringLiteral(DEMO_SERVER_BINARY), QStringList{"--port", "0"} + more,
                      "listening on 127\\.0\\.0\\.1:(\\d+)");
}

bool StartServe(Program &serve, const QString &recording, const QStringList &more = {})
{
    return serve.start(QStringLiteral(REPLAY_BINARY),
                       QStringList{"serve", recording, "--listen", "127.0.0.1:0"} + more,
                       "listening on port (\\d+)");
}

int RunReplay(const QStringList &args, QByteArray *out, QByteArray *err = nullptr)
{
    QProcess p;
    p.start(QStringLiteral(REPLAY_BINARY), args);
    // The test's own peers go on meanwhile.
    for (int i = 0; i < 1200 && p.state() != QProcess::NotRunning; ++i)
        QTest::qWait(25);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// The session the client plays: each command, in lock-step, on its '%'.
const QList<QByteArray> Session = {"00001 StartSession()",
                                   "00002 Home()",
                                   "00003 ChangeTool(\"Probe1\")",
                                   "00004 GoTo(X(10), Y(20), Z(30))",
                                   "00005 Get(X(), Y(), Z())",
                                   "00006 GoTo(X(15), Y(20), Z(30))",
                                   "00007 EndSession()"};

bool PlaySession(quint16 port, QList<QByteArray> *replies)
{
    TestRelayClient client;
    if (!client.connectTo(port))
        return false;
    for (const QByteArray &c : Session) {
        client.sendLine(c);
        const QByteArray done = c.left(5) + " %";
        for (int i = 0; i < 200 && !client.received.contains(done); ++i)
            if (!client.waitForLines(int(client.received.size()) + 1))
                return false;
        if (!client.received.contains(done))
            return false;
    }
    *replies = client.received;
    client.close();
    return true;
}

QJsonObject ReadJson(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

} // namespace

class TestReplayTool : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The session, recorded through the tap between the demo server and a client.
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        Program demo, tap;
        QVERIFY(StartDemo(demo));
        QVERIFY(tap.start(QStringLiteral(TAP_BINARY),
                          {"--listen", "127.0.0.1:0", "--server",
                           QStringLiteral("127.0.0.1:%1").arg(demo.port), "--log", log, "--once", "--quiet"},
                          "listening on port (\\d+)"));
        QVERIFY(PlaySession(tap.port, &recorded));
        QCOMPARE(tap.finish(), 0);
    }

    // Served back: the same replies byte for byte, and an empty diff.
    void roundTrip()
    {
        Program serve;
        QVERIFY(StartServe(serve, log, {"--speed", "0", "--json", dir.filePath("serve.json")}));
        QList<QByteArray> replayed;
        QVERIFY(PlaySession(serve.port, &replayed));
        QCOMPARE(serve.finish(), 0);
        QCOMPARE(replayed, recorded);
        QVERIFY2(serve.out.contains("no differences"), serve.out.constData());
        const QJsonObject summary = ReadJson(dir.filePath("serve.json")).value("summary").toObject();
        QCOMPARE(summary.value("matched").toInt(), Session.size());
    }

    // Played as the client against a demo server with faults: the diff holds
    // the injected differences and nothing else.
    void changedServer()
    {
        const QString faults = dir.filePath("faults.json");
        QFile f(faults);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(
            "[{\"match\": \"^GoTo\", \"nth\": 2, \"action\": \"error\", \"severity\": 1, \"number\": 1008,"
            "\"text\": \"Machine in error state\"},"
            "{\"match\": \"^Get\\\\(\", \"action\": \"insert\", \"data\": [\"R(1)\"]}]");
        f.close();
        Program demo;
        QVERIFY(StartDemo(demo, {"--faults", faults}));
        QByteArray out;
        const QString json = dir.filePath("client.json");
        const QStringList args = {"client", log, "--server", QStringLiteral("127.0.0.1:%1").arg(demo.port),
                                  "--speed", "0",
                                  // How fast the demo server answers on a busy machine is not checked here.
                                  "--slower", "1000", "--json", json, "--html", dir.filePath("client.html")};
        // Motion needs saying so.
        QCOMPARE(RunReplay(args, &out), 2);
        QCOMPARE(RunReplay(args + QStringList{"--allow-motion"}, &out), 1);
        const QJsonObject report = ReadJson(json);
        const QJsonObject summary = report.value("summary").toObject();
        QCOMPARE(summary.value("matched").toInt(), Session.size());
        QCOMPARE(summary.value("missing").toInt() + summary.value("extra").toInt(), 0);
        const QJsonArray diffs = report.value("differences").toArray();
        QVERIFY2(diffs.size() == 2, out.constData());
        const QJsonObject get = diffs[0].toObject(), go = diffs[1].toObject();
        QVERIFY2(go.value("recorded").toString().contains("GoTo(X(15)"), out.constData());
        QCOMPARE(go.value("lines").toArray().size(), 1);
        QCOMPARE(go.value("lines")[0]["change"].toString(), QStringLiteral("added"));
        QCOMPARE(go.value("lines")[0]["replayed"].toString(),
                 QStringLiteral(" ! Error(1, 1008, GoTo, \"Machine in error state\")"));
        QCOMPARE(get.value("lines")[0]["replayed"].toString(), QStringLiteral(" # R(1)"));
        QVERIFY(out.contains("added: \"! Error(1, 1008"));
        QFile page(dir.filePath("client.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        QVERIFY(page.readAll().contains("! Error(1, 1008, GoTo, &quot;Machine in error state&quot;)"));
    }

    // Every NIST client log, served back to a client that sends the same
    // commands (client replay of the same log): both diffs empty.
    void nistClientLogs()
    {
        const QStringList logs = QDir(QStringLiteral(NIST_DATA)).entryList({"*Client.log"}, QDir::Files);
        QVERIFY(logs.size() >= 3);
        for (const QString &name : logs) {
            const QString path = QStringLiteral(NIST_DATA "/") + name;
            Program serve;
            QVERIFY(StartServe(serve, path, {"--speed", "0", "--json", dir.filePath("n-serve.json")}));
            QByteArray out;
            RunReplay({"client", path, "--server", QStringLiteral("127.0.0.1:%1").arg(serve.port), "--speed",
                       "0", "--allow-motion", "--keep-going", "--slower", "1000", "--json",
                       dir.filePath("n-client.json")},
                      &out);
            QVERIFY(serve.finish() >= 0);
            for (const char *report : {"n-serve.json", "n-client.json"}) {
                const QJsonObject r = ReadJson(dir.filePath(report));
                QVERIFY2(r.value("differences").toArray().isEmpty()
                             && r.value("summary")["matched"].toInt() > 0,
                         qPrintable(name + ": " + report + "\n" + out));
            }
        }
    }

    // A capture is a recording: served back to a client that sends the
    // captured commands, the diff is empty; a session it lacks is refused.
    void captureServedBack()
    {
        const QString data = QStringLiteral(CAPTURE_DATA);
        QList<QByteArray> commands;
        QFile tapLog(data + QStringLiteral("/loopback-tap.log"));
        QVERIFY(tapLog.open(QIODevice::ReadOnly));
        while (!tapLog.atEnd()) {
            const QByteArray line = tapLog.readLine().trimmed();
            if (const qsizetype at = line.indexOf(">$> "); at >= 0)
                commands << line.mid(at + 4);
        }
        QVERIFY(commands.size() > 5);
        Program serve;
        QVERIFY(StartServe(serve, data + QStringLiteral("/loopback.pcap"), {"--speed", "0"}));
        {
            TestRelayClient client;
            QVERIFY(client.connectTo(serve.port));
            for (const QByteArray &c : std::as_const(commands)) {
                client.sendLine(c);
                const QByteArray done = c.left(5) + " %";
                QTRY_VERIFY(client.received.contains(done));
            }
            client.close();
        }
        QCOMPARE(serve.finish(), 0);
        QVERIFY2(serve.out.contains("no differences"), serve.out.constData());
        QByteArray out, err;
        QCOMPARE(RunReplay({"client", data + QStringLiteral("/loopback.pcap"), "--dry-run", "--session", "9"},
                           &out, &err),
                 2);
        QVERIFY2(err.contains("no session 9"), err.constData());
    }

    // Inputs it refuses with a message and status 2, a server that
    // vanishes mid-replay and one that goes silent.
    void badInput()
    {
        auto write = [this](const char *name, const QByteArray &bytes) {
            QFile f(dir.filePath(name));
            f.open(QIODevice::WriteOnly);
            f.write(bytes);
            return f.fileName();
        };
        QByteArray out, err;
        const QString ok = write("ok.txt",
                                 "C: 00001 StartSession()\nS: 00001 &\nS: 00001 %\n"
                                 "C: 00002 Get(X())\nS: 00002 &\nS: 00002 %\n");
        for (const QString &bad : {write("empty.txt", ""), write("binary.bin", QByteArray(3000, '\x01')),
                                   write("replies.txt", "S: 00007 &\nS: 00007 %\n")}) {
            QCOMPARE(RunReplay({"serve", bad, "--listen", "127.0.0.1:0"}, &out, &err), 2);
            QVERIFY2(err.contains(bad.toLocal8Bit() + ": "), err.constData());
        }
        // Cut mid-line: the cut command is not sent, and the status says so.
        const QString cut =
            write("cut.txt", "C: 00001 StartSession()\nS: 00001 &\nS: 00001 %\nC: 00002 Get(X");
        QCOMPARE(RunReplay({"client", cut, "--dry-run"}, &out, &err), 2);
        QCOMPARE(out, QByteArray("00001 StartSession()\n"));
        QVERIFY2(err.contains("truncated"), err.constData());
        write("bad-regex.json", "[{\"match\": \"Go(\", \"action\": \"close\"}]");
        QCOMPARE(
            RunReplay({"serve", ok, "--listen", "127.0.0.1:0", "--faults", dir.filePath("bad-regex.json")},
                      &out, &err),
            2);
        QVERIFY2(err.contains("bad-regex.json: rule 1: field \"match\""), err.constData());
        write("bad-action.json", R"([{"match": "Go", "action": "explode"}])");
        QCOMPARE(
            RunReplay({"serve", ok, "--listen", "127.0.0.1:0", "--faults", dir.filePath("bad-action.json")},
                      &out, &err),
            2);
        QVERIFY2(err.contains("field \"action\": unknown action \"explode\""), err.constData());

        // 100,000 transactions that never complete are read, served and
        // found missing, without a hang.
        QByteArray open;
        for (int i = 0; i < 100000; ++i)
            open += "C: " + QByteArray::number(i % 99999 + 1).rightJustified(5, '0') + " Get(X())\n";
        const QString many = write("open.txt", open);
        Program serve;
        QVERIFY(StartServe(serve, many, {"--speed", "0", "--quiet"}));
        {
            TestRelayClient client;
            QVERIFY(client.connectTo(serve.port));
            client.sendLine("00001 Get(X())");
            client.sendLine("garbage \x01\x02");
            client.sendLine("00002 Home()");
            QVERIFY(client.waitForLines(3));
            QCOMPARE(client.received.first(), QByteArray("00002 &"));
            client.close();
        }
        QCOMPARE(serve.finish(), 1);
        QVERIFY2(serve.out.contains("99999 missing, 2 extra"), serve.out.constData());

        // The server goes after the first command.
        TestServer server;
        server.script = [&server](const QByteArray &line) -> QList<QByteArray> {
            if (line.contains("Get")) {
                server.dropClient();
                return {};
            }
            return {line.left(5) + " &", line.left(5) + " %"};
        };
        QCOMPARE(RunReplay({"client", ok, "--server", QStringLiteral("127.0.0.1:%1").arg(server.port())},
                           &out, &err),
                 2);
        QVERIFY2(err.contains("closed the connection mid-replay"), err.constData());
        QVERIFY2(out.contains("1 missing"), out.constData());

        TestServer silent; // takes the commands, answers nothing
        QCOMPARE(RunReplay({"client", ok, "--timeout", "0.2", "--server",
                            QStringLiteral("127.0.0.1:%1").arg(silent.port())},
                           &out, &err),
                 2);
        QVERIFY2(err.contains("went silent"), err.constData());
        QVERIFY2(out.contains("2 missing"), out.constData());
    }

private:
    QTemporaryDir dir;
    const QString log = dir.filePath("session.log");
    QList<QByteArray> recorded;
};

QTEST_GUILESS_MAIN(TestReplayTool)
#include "tst_replaytool.moc"
