// Line ends inside commands: command files with CR-only line ends load as one
// row per line, and no command carries a CR or LF onto the wire, whatever its
// source (command list, typed field, pasted text, relay client).

#include "commands/commandfile.h"
#include "link/protocol.h"
#include "support/formfixture.h"
#include "support/testserver.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace {

QStringList rows(const TForm1 *f)
{
    QStringList out;
    for (int i = 0; i < f->LbCommands->count(); ++i)
        out << f->LbCommands->item(i)->text();
    return out;
}

bool connectForm(FormFixture &fx, TestServer &server)
{
    fx->EdHost->setText(QStringLiteral("127.0.0.1"));
    fx->EdPort->setText(QString::number(server.port()));
    fx->BtConnectClick();
    return QTest::qWaitFor([&] { return fx->serverConnected; }) && server.waitForClient();
}

// Every byte the server got, with its line ends: one line per CR LF and no
// CR or LF anywhere else.
void verifyClean(const TestServer &server)
{
    for (const QByteArray &line : server.received)
        QVERIFY2(!line.contains('\r') && !line.contains('\n'), line.toHex(' ').constData());
}

} // namespace

class TestLineEnds : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void splitting_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR only") << QByteArray("A()\rB()\rC()\r") << QStringList{"A()", "B()", "C()"};
        QTest::newRow("CR only, last unended") << QByteArray("A()\rB()") << QStringList{"A()", "B()"};
        QTest::newRow("mixed") << QByteArray("A()\r\nB()\nC()\rD()")
                               << QStringList{"A()", "B()", "C()", "D()"};
        QTest::newRow("CR CR LF") << QByteArray("A()\r\r\nB()") << QStringList{"A()", "", "B()"};
        QTest::newRow("LF CR") << QByteArray("A()\n\rB()") << QStringList{"A()", "", "B()"};
        QTest::newRow("blank lines") << QByteArray("\r\r\n\n") << QStringList{"", "", ""};
    }
    void splitting()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QCOMPARE(SplitCommandFileLines(bytes), lines);
    }

    void wireLine()
    {
        QCOMPARE(WireLine(QStringLiteral("00001 A()")), QByteArray("00001 A()\r\n"));
        QCOMPARE(WireLine(QStringLiteral("00001 A()\rB()\nC()\r\n")), QByteArray("00001 A() B() C()  \r\n"));
        QCOMPARE(WireLine(QStringLiteral("\xe9\xff")), QByteArray("\xe9\xff\r\n"));
        QCOMPARE(MakeTaggedLine(7, QStringLiteral(" GoTo(X(1))\rGoTo(X(2))\r")),
                 QStringLiteral("00007 GoTo(X(1)) GoTo(X(2))"));
    }

    // A classic Mac file: one row per line, and each goes out as its own line.
    void crOnlyFileLoadsAndSends()
    {
        FormFixture f;
        const QString name = f.dir() + QStringLiteral("/cr.txt");
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("GoTo(X(1))\rGoTo(X(2))\r; note\rGoTo(X(3))\r");
        file.close();
        f.fileAnswers << name;
        f->BtLoadClick();
        QCOMPARE(rows(f.form()), (QStringList{"GoTo(X(1))", "GoTo(X(2))", "GoTo(X(3))"}));

        TestServer server;
        QVERIFY(connectForm(f, server));
        f->SetCommandIndex(1);
        f->BtSendMemoClick();
        QVERIFY(server.waitForLines(1));
        QCOMPARE(server.received.last().mid(6), QByteArray("GoTo(X(2))"));
    }

    // Each source of a command, with line ends inside it: one clean line on
    // the wire per command, in order.
    void noLineEndReachesTheWire()
    {
        FormFixture f;
        TestServer server;
        QVERIFY(connectForm(f, server));

        // A list row (rows can hold anything: the settings file keeps a lone CR).
        f->LbCommands->clear();
        f->LbCommands->addItem(QStringLiteral("GoTo(X(1))\rGoTo(X(2))\n"));
        f->SetCommandIndex(0);
        f->BtSendMemoClick();
        QVERIFY(server.waitForLines(1));

        // The typed field.
        f->EdCurrentCommand->setText(QStringLiteral("Home()\r\nHome()"));
        f->BtSendClick();
        QVERIFY(server.waitForLines(2));

        // Text pasted into the field.
        QGuiApplication::clipboard()->setText(QStringLiteral("GetProp(Tool.Name())\rEnumTools()\n"));
        f->EdCurrentCommand->clear();
        f->EdCurrentCommand->paste();
        f->BtSendClick();
        QVERIFY(server.waitForLines(3));

        // The relay client: a lone CR inside its line.
        TestRelayClient client;
        QVERIFY(client.connectTo(f->listenPort));
        QTRY_VERIFY(f->RelayClientConnected());
        client.sendRaw("00042 GoTo(X(5))\rGoTo(X(6))\r\n");
        QVERIFY(server.waitForLines(4));

        QCOMPARE(server.received.size(), 4);
        verifyClean(server);
        QCOMPARE(server.received[0].mid(6), QByteArray("GoTo(X(1)) GoTo(X(2))"));
        QCOMPARE(server.received[1].mid(6), QByteArray("Home()  Home()"));
        QVERIFY2(server.received[2].contains("GetProp(Tool.Name())")
                     && server.received[2].contains("EnumTools()"),
                 server.received[2].constData());
        QCOMPARE(server.received[3], QByteArray("00042 GoTo(X(5)) GoTo(X(6))"));
    }
};

QTEST_MAIN(TestLineEnds)
#include "tst_lineends.moc"
