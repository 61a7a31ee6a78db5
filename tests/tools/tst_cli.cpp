// The built programs as child processes: command lines, and the orderly close
// of Torvane on SIGTERM and SIGINT.

#include "platform/testsupport.h"
#include "support/formfixture.h"
#include "support/helpers.h"
#include "support/testserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QProcessEnvironment Offscreen()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

struct Run {
    int code = -1;
    QByteArray out, err;
};

Run RunToEnd(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessEnvironment(Offscreen());
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

using platform::test::CatchesSignal;
using platform::test::SendSignal;
using platform::test::Signal;

constexpr QFileDevice::Permissions ReadOnlyFolder = QFileDevice::ReadOwner | QFileDevice::ExeOwner
    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void torvaneOptions()
    {
        Run r = RunToEnd(TORVANE_BINARY, {"--version"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("Torvane " TORVANE_VERSION "\n"));
        r = RunToEnd(TORVANE_BINARY, {"--help"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.startsWith("Usage: torvane"));
        QVERIFY(r.out.contains("Torvane.ini"));
        r = RunToEnd(TORVANE_BINARY, {"--frobnicate"});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("unknown argument: --frobnicate"));
        // Among Qt's own options, and in their short forms.
        r = RunToEnd(TORVANE_BINARY, {"-platform", "offscreen", "-v"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("Torvane " TORVANE_VERSION "\n"));
        r = RunToEnd(TORVANE_BINARY, {"-h"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.startsWith("Usage: torvane"));
        r = RunToEnd(TORVANE_BINARY, {"-platform", "offscreen", "stray"});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("unknown argument: stray"));
    }

    void demoServerOptions()
    {
        Run r = RunToEnd(DEMO_SERVER_BINARY, {"--help"});
        QCOMPARE(r.code, 0);
        for (const char *opt : {"--port", "--delay-ms", "--events", "1294"})
            QVERIFY2(r.out.contains(opt), opt);
        QCOMPARE(RunToEnd(DEMO_SERVER_BINARY, {"--port", "70000"}).code, 2);
        QCOMPARE(RunToEnd(DEMO_SERVER_BINARY, {"--delay-ms", "-1"}).code, 2);
        QCOMPARE(RunToEnd(DEMO_SERVER_BINARY, {"--events", "soon"}).code, 2);
    }

    // The real demo server program: a free port, a delay and events.
    void demoServerProcess()
    {
        QProcess p;
        p.start(DEMO_SERVER_BINARY, {"--port", "0", "--delay-ms", "20", "--events", "0.05"});
        QVERIFY(p.waitForStarted());
        QVERIFY(p.waitForReadyRead(10000));
        const QString banner = QString::fromLatin1(p.readLine());
        const auto m =
            QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")).match(banner);
        QVERIFY2(m.hasMatch(), qPrintable(banner));
        TestRelayClient client;
        QVERIFY(client.connectTo(quint16(m.captured(1).toUInt())));
        client.sendLine("00001 IsHomed()");
        QTRY_VERIFY(client.received.contains("00001 %"));
        const int ack = client.received.indexOf("00001 &");
        QVERIFY(ack >= 0);
        QVERIFY(client.received.indexOf("00001 # IsHomed(0)") > ack);
        QTRY_VERIFY(client.received.contains("E9003 # X(0.0000), Y(0.0000), Z(0.0000)"));
        // A termination request ends it in order: on Windows, where a
        // console program gets no WM_CLOSE, too.
        QVERIFY(platform::test::SendSignal(p.processId(), Signal::Terminate));
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }

    void closesOnSignal_data()
    {
        QTest::addColumn<Signal>("sig");
        QTest::newRow("SIGTERM") << Signal::Terminate;
        QTest::newRow("SIGINT") << Signal::Interrupt;
    }
    void closesOnSignal()
    {
        QFETCH(Signal, sig);
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("Torvane.ini"));
        {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(iniWithFreeRelayPort());
        }
        QProcess p;
        p.setProcessEnvironment(Offscreen());
        p.setWorkingDirectory(dir.path());
        p.start(TORVANE_BINARY, QStringList());
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(CatchesSignal(p.processId(), sig), 20000);
        QVERIFY(SendSignal(p.processId(), sig));
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);

        QVERIFY2(NormalCloseWritesSettings(), "a normal close does not write the settings file");
        // Written by the close sequence: the window's geometry was not in the file before.
        QFile f(ini);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll().toLower();
        QVERIFY2(text.contains("[window]"), text.constData());
        QVERIFY(text.contains("[tcp/ip]"));
    }

    // A close from a signal whose settings can't be written: the error goes
    // to standard error and the program ends (code 1) instead of waiting on
    // an error box that no one will answer.
    void signalCloseWithUnwritableSettings_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("Torvane.ini is a folder") << QStringLiteral("folder");
        QTest::newRow("no room to write") << QStringLiteral("full");
        QTest::newRow("read-only working folder") << QStringLiteral("read-only");
        QTest::newRow("unreadable settings file") << QStringLiteral("unreadable");
    }
    void signalCloseWithUnwritableSettings()
    {
        QFETCH(QString, damage);
        if ((damage == QLatin1String("read-only") || damage == QLatin1String("unreadable"))
            && platform::test::RunsAsRoot())
            QSKIP("root passes permission bits (the file-size case stands in)");
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("Torvane.ini"));
        const QByteArray content = "[RelayServer]\r\nPort=" + QByteArray::number(FreePort()) + "\r\n";
        if (damage == QLatin1String("folder")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Torvane.ini")));
        } else {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        if (damage == QLatin1String("read-only"))
            QVERIFY(QFile::setPermissions(dir.path(), ReadOnlyFolder));
        if (damage == QLatin1String("unreadable"))
            QVERIFY(QFile::setPermissions(ini, QFileDevice::WriteOwner));

        QProcess p;
        p.setProcessEnvironment(Offscreen());
        p.setWorkingDirectory(dir.path());
        {
            // Inherited by the program: every write to a file beyond 16 bytes fails.
            std::unique_ptr<platform::test::FileSizeLimit> limit;
            if (damage == QLatin1String("full")) {
                limit = std::make_unique<platform::test::FileSizeLimit>(16);
                if (!limit->applied)
                    QSKIP("this system has no file-size limit for one process");
            }
            p.start(TORVANE_BINARY, QStringList());
            QVERIFY(p.waitForStarted());
        }
        QTRY_VERIFY_WITH_TIMEOUT(CatchesSignal(p.processId(), Signal::Terminate), 20000);
        QVERIFY(SendSignal(p.processId(), Signal::Terminate));
        const bool ended = p.waitForFinished(20000);
        if (!ended)
            p.kill();
        QFile::setPermissions(dir.path(), ReadOnlyFolder | QFileDevice::WriteOwner);
        QVERIFY2(ended, "still running after SIGTERM");
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("torvane: The settings could not be saved to"), err.constData());
        if (damage == QLatin1String("folder"))
            QVERIFY(QFileInfo(ini).isDir());
        if (damage == QLatin1String("full")) {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), content);
        }
    }

private:
    // Whether a normal close writes the settings in this build: the window's
    // geometry is added to a file that had only the relay port.
    static bool NormalCloseWritesSettings()
    {
        FormFixture form(iniWithFreeRelayPort());
        form.close();
        QFile f(form.dir() + QStringLiteral("/Torvane.ini"));
        return f.open(QIODevice::ReadOnly) && f.readAll().toLower().contains("[window]");
    }
};

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
