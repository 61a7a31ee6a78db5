// Reading one line of a command file, splitting and writing whole files.

#include "commands/commandfile.h"

#include <QTest>

class TestCommandFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parseLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("command");
        const QString ts = QStringLiteral("12.34.56:789  "); // 14-character time stamp
        QCOMPARE(ts.size(), 14);

        // plain command lines
        QTest::newRow("plain") << "Home()"
                               << "Home()";
        QTest::newRow("blanks and tabs around") << " \t GoTo(X(1)) \t\r"
                                                << "GoTo(X(1))";
        QTest::newRow("comment kept inside") << "Home() ;back"
                                             << "Home() ;back";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("blank only") << "   \t "
                                    << "";
        QTest::newRow("semicolon comment") << "   ; a comment"
                                           << "";
        QTest::newRow("apostrophe comment") << "'Home()"
                                            << "";
        QTest::newRow("slash comment") << "// Home()"
                                       << "";
        QTest::newRow("double dash anywhere") << "Get(X()) -- later"
                                              << "";
        QTest::newRow("Session stays for Load to drop") << "StartSession()"
                                                        << "StartSession()";

        // log lines with time stamps
        QTest::newRow("ts operator") << ts + ">>> 00100 GetProp(Tool.Name())"
                                     << "GetProp(Tool.Name())";
        QTest::newRow("ts relay") << ts + ">$> 00017 GoTo(X(1))"
                                  << "GoTo(X(1))";
        QTest::newRow("ts event tag") << ts + ">>> E0101 AbortE()"
                                      << "AbortE()";
        QTest::newRow("ts command keeps blanks inside") << ts + ">>> 00102 Get(X(), Y())"
                                                        << "Get(X(), Y())";
        QTest::newRow("ts reply") << ts + "<<< 00100 &"
                                  << "";
        QTest::newRow("ts relay reply") << ts + "<$< 00017 %"
                                        << "";
        QTest::newRow("ts injected error") << ts + "<F< 00017 ! Error(2, 1006, PtMeas,\"no Touch\")"
                                           << "";
        QTest::newRow("ts rewritten") << ts + ">R>00018 GoTo(X(1))"
                                      << "";
        QTest::newRow("ts relay timeout") << ts + ">$> ---------- timeout"
                                          << "";
        QTest::newRow("connect event") << "---------- Connected  08.Nov.2013 - 12.34.56.789"
                                       << "";
        QTest::newRow("marked line without command") << ts + ">>> 00100"
                                                     << "";

        // log lines without time stamps
        QTest::newRow("operator") << ">>> 00100 EnableUser()"
                                  << "EnableUser()";
        QTest::newRow("relay") << ">$> 00017 PtMeas(X(1))"
                               << "PtMeas(X(1))";
        QTest::newRow("event tag") << ">>> E0101 AbortE()"
                                   << "AbortE()";
        QTest::newRow("reply") << "<<< 00100 # Tool.Name(\"Probe1\")"
                               << "";
        QTest::newRow("marker without tag loses E") << ">>> EnumTools()"
                                                    << "numTools()";
        QTest::newRow("digits inside command kept") << ">>> 00100 GoTo(X(10))"
                                                    << "GoTo(X(10))";

        // a plain line whose 15th character is '>' counts as marked
        QTest::newRow("15th char marker") << "abcdefghijklmn> 123 Home()"
                                          << "Home()";
        QTest::newRow("14 chars then no marker") << "abcdefghijklm> Home()"
                                                 << "abcdefghijklm> Home()";
    }
    void parseLine()
    {
        QFETCH(QString, line);
        QFETCH(QString, command);
        QCOMPARE(ParseCommandFileLine(line), command);
    }

    void splitLines()
    {
        QCOMPARE(SplitCommandFileLines("a\r\nb\nc"), QStringList({"a", "b", "c"}));
        QCOMPARE(SplitCommandFileLines("a\n\nb\n"), QStringList({"a", "", "b"}));
        QCOMPARE(SplitCommandFileLines("a\rb\r\n"), QStringList({"a", "b"})); // a lone CR ends a line too
        QCOMPARE(SplitCommandFileLines(""), QStringList());
        QCOMPARE(SplitCommandFileLines("\xe9\xff\x80"), QStringList({QString::fromLatin1("\xe9\xff\x80")}));
    }

    void commandsOfAFile()
    {
        const QStringList lines = {"",
                                   "12.34.56:789  >>> 00100 StartSession()",
                                   "12.34.56:789  <<< 00100 &",
                                   "Home() ;back",
                                   "Get(Session.X())",
                                   "  ",
                                   "12.34.56:789  >>> 00101 GoTo(X(1))"};
        QCOMPARE(CommandsFromLines(lines), QStringList({"Home() ;back", "GoTo(X(1))"}));
    }

    void writtenBytes()
    {
        QCOMPARE(CommandFileBytes({"Home()", "", " x ;c"}), QByteArray("Home()\r\n\r\n x ;c\r\n"));
        QCOMPARE(CommandFileBytes({}), QByteArray());
        QCOMPARE(CommandFileBytes({QString::fromLatin1("\xe9\xff")}), QByteArray("\xe9\xff\r\n"));
    }

    void extensionRules()
    {
        QCOMPARE(WithLoadExtension("cmds.dat"), QString("cmds.dat.txt"));
        QCOMPARE(WithLoadExtension("cmds"), QString("cmds.txt"));
        QCOMPARE(WithLoadExtension("run.Log"), QString("run.Log"));
        QCOMPARE(WithLoadExtension("a.TxT.bak"), QString("a.TxT.bak"));
        QCOMPARE(WithSaveExtension("list.log"), QString("list.log.txt"));
        QCOMPARE(WithSaveExtension("list.TXT"), QString("list.TXT"));
    }
};

QTEST_GUILESS_MAIN(TestCommandFile)
#include "tst_commandfile.moc"
