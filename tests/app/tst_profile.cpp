#include "app/profile.h"
#include "platform/testsupport.h"
#include "support/helpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

ProfileFile fromBytes(const QByteArray &bytes)
{
    ProfileFile p;
    p.setContent(bytes);
    return p;
}

} // namespace

class TestProfile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void namesIgnoreCaseAndBlanks()
    {
        ProfileFile p = fromBytes("[tcp/ip]\r\n  HOST = 10.0.0.1  \r\n[MISC]\r\nadvanced=1\r\n");
        QCOMPARE(p.readString(QStringLiteral("TCP/IP"), QStringLiteral("Host"), QStringLiteral("x")),
                 QStringLiteral("10.0.0.1"));
        QCOMPARE(p.readInteger(QStringLiteral("Misc"), QStringLiteral("Advanced"), 0), 1);
        QCOMPARE(p.readString(QStringLiteral("TCP/IP"), QStringLiteral("Port"), QStringLiteral("1294")),
                 QStringLiteral("1294"));
        QCOMPARE(p.readString(QStringLiteral("Misc"), QStringLiteral("Host"), QStringLiteral("d")),
                 QStringLiteral("d"));

        // Writing under another spelling updates the one line, in place.
        p.writeString(QStringLiteral("Tcp/Ip"), QStringLiteral("host"), QStringLiteral("h2"));
        QCOMPARE(p.content(), QByteArray("[tcp/ip]\r\nHOST=h2\r\n[MISC]\r\nadvanced=1\r\n"));
    }

    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("decimal") << "1295" << 1295;
        QTest::newRow("negative") << "-7" << -7;
        QTest::newRow("blanks around") << "  42  " << 42;
        QTest::newRow("dollar hex") << "$1F" << 31;
        QTest::newRow("0x hex") << "0x1f" << 31;
        QTest::newRow("0X hex") << "0X10" << 16;
        QTest::newRow("trailing junk") << "12ab" << -99;
        QTest::newRow("decimal point") << "1.5" << -99;
        QTest::newRow("empty") << "" << -99;
        QTest::newRow("word") << "on" << -99;
        QTest::newRow("beyond int") << "99999999999" << -99;
        QTest::newRow("huge") << QString(5000, QLatin1Char('9')) << -99;
        QTest::newRow("bad hex") << "$G1" << -99;
    }
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        ProfileFile p = fromBytes("[S]\nN=" + text.toLatin1() + "\n");
        QCOMPARE(p.readInteger(QStringLiteral("S"), QStringLiteral("N"), -99), value);
    }

    void longValuesCut()
    {
        QByteArray value;
        for (int i = 0; i < 3000; ++i)
            value += char('a' + i % 26);
        ProfileFile p = fromBytes("[S]\nK=" + value + "\nL=" + value.left(2047) + "\n");
        QCOMPARE(p.readString(QStringLiteral("S"), QStringLiteral("K"), QString()),
                 QString::fromLatin1(value.left(2047)));
        QCOMPARE(p.readString(QStringLiteral("S"), QStringLiteral("L"), QString()).size(), 2047);

        // A megabyte on one line costs no more than its own cut.
        ProfileFile big = fromBytes("[S]\nK=" + QByteArray(1 << 20, 'x'));
        QCOMPARE(big.readString(QStringLiteral("S"), QStringLiteral("K"), QString()).size(), 2047);
        QCOMPARE(big.readInteger(QStringLiteral("S"), QStringLiteral("K"), 5), 5);
    }

    void valuesReadBackAsWritten()
    {
        ProfileFile p;
        const QStringList values = {QStringLiteral("\"Probe1\""),
                                    QStringLiteral("  padded  "),
                                    QStringLiteral("'single'"),
                                    QStringLiteral("a=b;c # d"),
                                    QString(),
                                    QStringLiteral("\""),
                                    QStringLiteral("[x]")};
        for (int i = 0; i < values.size(); ++i)
            p.writeString(QStringLiteral("S"), QString::number(i), values[i]);
        ProfileFile q = fromBytes(p.content());
        for (int i = 0; i < values.size(); ++i)
            QCOMPARE(q.readString(QStringLiteral("S"), QString::number(i), QStringLiteral("dflt")),
                     values[i]);
        // A hand-written quoted value loses its quotes, as in other profile readers.
        ProfileFile r = fromBytes("[Tool]\nC=\"Probe1\"\n");
        QCOMPARE(r.readString(QStringLiteral("Tool"), QStringLiteral("C"), QString()),
                 QStringLiteral("Probe1"));
        // An empty value is a value, not a missing key.
        ProfileFile e = fromBytes("[Tool]\nF=\n");
        QCOMPARE(e.readString(QStringLiteral("Tool"), QStringLiteral("F"), QStringLiteral("ProbeN")),
                 QString());
    }

    void unknownContentKept()
    {
        const QByteArray original = "; Torvane settings\n"
                                    "stray line before any section\n"
                                    "[Other Program]\n"
                                    "Secret = 42 ; keep me\n"
                                    "\n"
                                    "[TCP/IP]\n"
                                    "  Host =  127.0.0.1\n"
                                    "# a comment\n"
                                    "Unknown=\xe4\xf6\xfc\xff\n"
                                    "[Tail]\n"
                                    "last=line without newline";
        ProfileFile p = fromBytes(original);
        QCOMPARE(p.content(), original);

        // Writing the values that are there changes nothing.
        p.writeString(QStringLiteral("TCP/IP"), QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
        QCOMPARE(p.content(), original);

        // A changed value rewrites its own line only; a new key goes after
        // the section's last key; a new section goes at the end.
        p.writeString(QStringLiteral("tcp/ip"), QStringLiteral("host"), QStringLiteral("10.1.1.1"));
        p.writeString(QStringLiteral("TCP/IP"), QStringLiteral("Port"), QStringLiteral("1294"));
        p.writeInteger(QStringLiteral("Window"), QStringLiteral("Top"), 10);
        QCOMPARE(p.content(),
                 QByteArray("; Torvane settings\n"
                            "stray line before any section\n"
                            "[Other Program]\n"
                            "Secret = 42 ; keep me\n"
                            "\n"
                            "[TCP/IP]\n"
                            "Host=10.1.1.1\n"
                            "# a comment\n"
                            "Unknown=\xe4\xf6\xfc\xff\n"
                            "Port=1294\n"
                            "[Tail]\n"
                            "last=line without newline\n"
                            "[Window]\n"
                            "Top=10\n"));
    }

    void eraseSection()
    {
        ProfileFile p = fromBytes("[A]\r\nx=1\r\n[Commands]\r\nCount=2\r\n; note\r\n0=a\r\n1=b\r\n"
                                  "[B]\r\ny=2\r\n[commands]\r\n5=e\r\n");
        p.eraseSection(QStringLiteral("COMMANDS"));
        QVERIFY(p.keys(QStringLiteral("Commands")).isEmpty());
        QCOMPARE(p.content(), QByteArray("[A]\r\nx=1\r\n[B]\r\ny=2\r\n"));
        // Written again, it comes back where it was.
        p.writeInteger(QStringLiteral("Commands"), QStringLiteral("Count"), 1);
        p.writeString(QStringLiteral("Commands"), QStringLiteral("0"), QStringLiteral("Home()"));
        QCOMPARE(p.content(),
                 QByteArray("[A]\r\nx=1\r\n[Commands]\r\nCount=1\r\n0=Home()\r\n[B]\r\ny=2\r\n"));
        // Erasing what is not there does nothing.
        p.eraseSection(QStringLiteral("Nothing"));
        QCOMPARE(p.keys(QStringLiteral("B")), QStringList{QStringLiteral("y")});
    }

    void corruptInput()
    {
        // Duplicate keys: the first one wins, for reading and for writing.
        ProfileFile d = fromBytes("[S]\nK=first\nk=second\n[s]\nK=third\nOnly=later\n");
        QCOMPARE(d.readString(QStringLiteral("S"), QStringLiteral("K"), QString()), QStringLiteral("first"));
        QCOMPARE(d.readString(QStringLiteral("S"), QStringLiteral("Only"), QString()),
                 QStringLiteral("later"));
        QCOMPARE(d.keys(QStringLiteral("S")), (QStringList{QStringLiteral("K"), QStringLiteral("Only")}));
        d.writeString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("new"));
        QCOMPARE(d.content(), QByteArray("[S]\nK=new\nk=second\n[s]\nK=third\nOnly=later\n"));

        // A header without its "]" still names its section.
        ProfileFile m = fromBytes("[TCP/IP\nHost=h\n[Misc]\nAdvanced=1\n");
        QCOMPARE(m.readString(QStringLiteral("TCP/IP"), QStringLiteral("Host"), QString()),
                 QStringLiteral("h"));
        QCOMPARE(m.readInteger(QStringLiteral("Misc"), QStringLiteral("Advanced"), 0), 1);

        // Keys before any section, lines without '=', empty keys: not values.
        ProfileFile k = fromBytes("Host=x\n[S]\n=v\nnoequals\n");
        QCOMPARE(k.readString(QString(), QStringLiteral("Host"), QStringLiteral("d")), QStringLiteral("d"));
        QCOMPARE(k.keys(QStringLiteral("S")), QStringList());

        // Every byte value, in names and values, round-trips and never crashes.
        QByteArray binary;
        for (int i = 0; i < 4096; ++i)
            binary += char((i * 7919 + i / 13) & 0xff);
        binary += QByteArray("\n[S]\nK=v\0x\n", 11);
        ProfileFile b = fromBytes(binary);
        QCOMPARE(b.content(), binary);
        b.writeString(QStringLiteral("New"), QStringLiteral("K"), QStringLiteral("1"));
        QVERIFY(b.content().startsWith(binary));
        QByteArray all;
        for (int i = 1; i < 256; ++i)
            if (i != '\n')
                all += char(i);
        ProfileFile v;
        v.writeString(QStringLiteral("S"), QStringLiteral("K"), QString::fromLatin1(all));
        QCOMPARE(fromBytes(v.content()).readString(QStringLiteral("S"), QStringLiteral("K"), QString()),
                 QString::fromLatin1(all));
    }

    void longLists()
    {
        // A command list loaded from a long traffic log can have many
        // thousands of rows. (That every operation stays linear is measured
        // by bench/files_bench.)
        constexpr int N = 100000;
        ProfileFile p;
        p.writeString(QStringLiteral("Commands"), QStringLiteral("Count"), QString::number(N));
        for (int i = 0; i < N; ++i)
            p.writeString(QStringLiteral("Commands"), QString::number(i), QStringLiteral("Cmd%1()").arg(i));
        ProfileFile q = fromBytes(p.content());
        const QStringList keys = q.keys(QStringLiteral("commands"));
        QCOMPARE(keys.size(), N + 1);
        for (int i = 0; i < N; ++i)
            QCOMPARE(q.readString(QStringLiteral("Commands"), keys[i + 1], QString()),
                     QStringLiteral("Cmd%1()").arg(i));
        q.eraseSection(QStringLiteral("Commands"));
        for (int i = 0; i < N; ++i)
            q.writeString(QStringLiteral("Commands"), QString::number(i), QStringLiteral("Cmd%1()").arg(i));
        QCOMPARE(q.readString(QStringLiteral("Commands"), QString::number(N - 1), QString()),
                 QStringLiteral("Cmd%1()").arg(N - 1));
    }

    void saveAndLoad()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Torvane.ini"));
        ProfileFile p(path);
        QVERIFY(p.load()); // missing file: empty profile
        QVERIFY(p.content().isEmpty());
        p.writeString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("\xe9t\xe9"));
        QString error;
        QVERIFY(p.save(&error));
        QCOMPARE(readFile(path), QByteArray("[S]\r\nK=\xe9t\xe9\r\n"));

        ProfileFile q(path);
        QVERIFY(q.load());
        QCOMPARE(q.readString(QStringLiteral("s"), QStringLiteral("k"), QString()),
                 QStringLiteral("\xe9t\xe9"));
        // The file's own line ends are kept for new lines.
        writeFile(path, "[S]\nK=1\n");
        QVERIFY(q.load());
        q.writeString(QStringLiteral("S"), QStringLiteral("L"), QStringLiteral("2"));
        QCOMPARE(q.content(), QByteArray("[S]\nK=1\nL=2\n"));
    }

    void failedSaveKeepsOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Torvane.ini"));
        const QByteArray old = "[S]\r\nK=old\r\n";
        writeFile(path, old);
        ProfileFile p(path);
        QVERIFY(p.load());
        p.writeString(QStringLiteral("S"), QStringLiteral("K"), QString(4000, QLatin1Char('n')));
        QString error;
        {
            platform::test::FileSizeLimit limit(64);
            if (!limit.applied)
                QSKIP("this system has no file-size limit for one process");
            QVERIFY(!p.save(&error));
        }
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(path), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("Torvane.ini")});

        // A folder that cannot exist: the path runs through a regular file.
        writeFile(dir.filePath(QStringLiteral("plain")), "x");
        ProfileFile n(dir.filePath(QStringLiteral("plain/Torvane.ini")));
        n.writeString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("v"));
        error.clear();
        QVERIFY(!n.save(&error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(dir.filePath(QStringLiteral("plain"))), QByteArray("x"));

        // A folder in the file's place can be neither read nor replaced.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub.ini")));
        ProfileFile d(dir.filePath(QStringLiteral("sub.ini")));
        d.writeString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("kept"));
        QVERIFY(!d.load(&error));
        QCOMPARE(d.readString(QStringLiteral("S"), QStringLiteral("K"), QString()), QStringLiteral("kept"));
        QVERIFY(!d.save(&error));
    }
};

QTEST_GUILESS_MAIN(TestProfile)
#include "tst_profile.moc"
