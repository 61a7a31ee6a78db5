#include "link/linesplitter.h"
#include "link/protocol.h"

#include <QTest>

class TestProtocol : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tagNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("value");
        QTest::newRow("plain") << "100" << qint64(100);
        QTest::newRow("leading blanks") << "   7" << qint64(7);
        QTest::newRow("stops at letter") << "12ab" << qint64(12);
        QTest::newRow("sign dropped when stopped") << "-12ab" << qint64(12);
        QTest::newRow("negative") << "-12" << qint64(-12);
        QTest::newRow("plus") << "+5" << qint64(5);
        QTest::newRow("dollar hex") << "$1F" << qint64(31);
        QTest::newRow("x hex") << "x10" << qint64(16);
        QTest::newRow("0x hex") << "0x10" << qint64(16);
        QTest::newRow("hex stops") << "$1Fz" << qint64(31);
        QTest::newRow("no digits") << "abc" << qint64(0);
        QTest::newRow("empty") << "" << qint64(0);
        QTest::newRow("only sign") << "-" << qint64(0);
        QTest::newRow("trailing blank") << "-12 " << qint64(12);
        QTest::newRow("huge stops without overflow") << QString(40, QLatin1Char('9')) << qint64(0);
    }
    void tagNumber()
    {
        QFETCH(QString, text);
        QFETCH(qint64, value);
        if (QTest::currentDataTag() == QByteArray("huge stops without overflow"))
            QVERIFY(ReadTagNumber(text) > 0);
        else
            QCOMPARE(ReadTagNumber(text), value);
    }

    void strictInt()
    {
        int v = 0;
        QVERIFY(ParseIntStrict(QStringLiteral("1294"), v));
        QCOMPARE(v, 1294);
        QVERIFY(ParseIntStrict(QStringLiteral(" $10"), v));
        QCOMPARE(v, 16);
        QVERIFY(!ParseIntStrict(QStringLiteral("12ab"), v));
        QVERIFY(!ParseIntStrict(QStringLiteral(""), v));
        QVERIFY(!ParseIntStrict(QStringLiteral("99999999999"), v));
        QCOMPARE(NotAnIntegerMessage(QStringLiteral("x1")),
                 QStringLiteral("'x1' is not a valid integer value"));
    }

    void taggedLines()
    {
        QCOMPARE(MakeTaggedLine(100, QStringLiteral("EnableUser()")), QStringLiteral("00100 EnableUser()"));
        QCOMPARE(MakeTaggedLine(7, QStringLiteral("Home()")), QStringLiteral("00007 Home()"));
        QCOMPARE(MakeTaggedLine(123, QStringLiteral("AbortE()")), QStringLiteral("E0123 AbortE()"));
        QCOMPARE(MakeTaggedLine(5, QStringLiteral("  SomethingE ")), QStringLiteral("E0005 SomethingE"));
        QCOMPARE(MakeTaggedLine(123456, QStringLiteral("Home()")), QStringLiteral("123456 Home()"));
        QCOMPARE(MakeTaggedLine(12345, QStringLiteral("AbortE()")), QStringLiteral("E12345 AbortE()"));
        // "e(" in lower case is no event command
        QCOMPARE(MakeTaggedLine(1, QStringLiteral("GetProp(Tool.Name())")),
                 QStringLiteral("00001 GetProp(Tool.Name())"));
    }

    void tagAndType()
    {
        QCOMPARE(GetTag(QStringLiteral("  00012 & \r")), QStringLiteral("00012"));
        QCOMPARE(GetTag(QStringLiteral("E1")), QStringLiteral("E1"));
        QCOMPARE(GetType(QStringLiteral("00012 #  X(1)")), QLatin1Char('#'));
        QCOMPARE(GetType(QStringLiteral("  00012 %")), QLatin1Char('%'));
        QCOMPARE(GetType(QStringLiteral("00012")), QChar());
        QCOMPARE(StripComment(QStringLiteral("Home() ;back")), QStringLiteral("Home() "));
        QCOMPARE(StripComment(QStringLiteral(";all")), QString());
        QCOMPARE(StripComment(QStringLiteral("Home()")), QStringLiteral("Home()"));
    }

    // The quick word search answers as Qt's case-insensitive search does,
    // Latin-1 letters, digits and text beyond Latin-1 included.
    void containsWordAsQtDoes()
    {
        const QStringList lines = {
            QStringLiteral("00001 StartSession()"),
            QStringLiteral("00001 STARTSESSION()"),
            QStringLiteral("00001 startsession ()"),
            QStringLiteral("00001 StartSession"),
            QStringLiteral("xxStArTsEsSiOn()yy"),
            QStringLiteral("00002 PtMeas(X(1))"),
            QStringLiteral("00002 ptmeas("),
            QStringLiteral("00002 PTMEA"),
            QString(),
            QStringLiteral("SS"),
            QString::fromLatin1("00003 \xe9\xc9ndSession() \xff"),
            QString::fromUtf8("00004 Start\u017Fession()"), // long s: folds to 's'
            QString::fromUtf8("00005 \u212Aelvin"),
            QStringLiteral("00006 SetProp(Tool.Accel(1))"),
            QStringLiteral("00007 CZPositionOnSphere(1,2)"),
        };
        const QList<QLatin1String> words = {
            QLatin1String("STARTSESSION()"), QLatin1String("ENDSESSION()"),
            QLatin1String("PTMEAS("),        QLatin1String("ACCEL"),
            QLatin1String("SETPROP"),        QLatin1String("CZPOSITIONONSPHERE("),
            QLatin1String("KELVIN"),
        };
        for (const QString &line : lines)
            for (QLatin1String word : words)
                QVERIFY2(ContainsWord(line, word) == line.contains(word, Qt::CaseInsensitive),
                         qPrintable(line + QLatin1Char('/') + word));
    }

    void splitsPiecesAndBursts()
    {
        LineSplitter s(16);
        QByteArray line;
        s.feed("0001");
        QCOMPARE(s.next(line), LineSplitter::NeedMore);
        s.feed("2 &\r");
        QCOMPARE(s.next(line), LineSplitter::NeedMore);
        s.feed("\n00012 %\n\nab\r\r\n");
        QCOMPARE(s.next(line), LineSplitter::Line);
        QCOMPARE(line, QByteArray("00012 &"));
        QCOMPARE(s.next(line), LineSplitter::Line);
        QCOMPARE(line, QByteArray("00012 %"));
        QCOMPARE(s.next(line), LineSplitter::Line);
        QCOMPARE(line, QByteArray(""));
        QCOMPARE(s.next(line), LineSplitter::Line);
        QCOMPARE(line, QByteArray("ab\r")); // only the CR before the LF goes
        QCOMPARE(s.next(line), LineSplitter::NeedMore);
        QCOMPARE(s.pending(), 0);
    }

    // How each line ended, for the checker; the lines themselves as before.
    void tellsLineEnds()
    {
        using E = LineSplitter::Ending;
        LineSplitter s;
        QByteArray line;
        const auto take = [&](const char *text, E end, bool leadingCr) {
            QCOMPARE(s.next(line), LineSplitter::Line);
            QCOMPARE(line, QByteArray(text));
            QCOMPARE(s.ending(), end);
            QCOMPARE(s.leadingCr(), leadingCr);
        };
        s.feed("00001 A()\r\n00002 B()\n00003 C()\n\r00004 D()\r\n");
        take("00001 A()", E::CrLf, false);
        take("00002 B()", E::Lf, false);
        take("00003 C()", E::LfCr, false); // the CR is already here
        take("\r00004 D()", E::CrLf, true); // kept, and told
        // The CR comes with the next read: the line before was taken as a
        // bare LF, and the CR is still known for its.
        s.feed("00005 E()\n");
        take("00005 E()", E::Lf, false);
        s.feed("\r00006 F()\r\n\r00007 G()\r");
        take("\r00006 F()", E::CrLf, true);
        QCOMPARE(s.next(line), LineSplitter::NeedMore);
        QVERIFY(s.takeRest(line)); // the peer closed after a CR
        QCOMPARE(line, QByteArray("\r00007 G()"));
        QCOMPARE(s.ending(), E::Cr);
        QVERIFY(!s.leadingCr()); // after CR LF, a CR is the line's own
        s.feed("00008 H()");
        QVERIFY(s.takeRest(line));
        QCOMPARE(s.ending(), E::None);
    }

    void keepsEveryByte()
    {
        LineSplitter s;
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            if (b != '\n')
                all += char(b);
        s.feed(all + "\n");
        QByteArray line;
        QCOMPARE(s.next(line), LineSplitter::Line);
        QCOMPARE(line, all);
    }

    void overflowAtLimit()
    {
        LineSplitter s(16);
        QByteArray line;
        s.feed(QByteArray(16, 'a') + "\n"); // exactly the limit
        QCOMPARE(s.next(line), LineSplitter::Line);
        s.feed(QByteArray(16, 'a') + "\r"); // the CR doesn't count, even
        QCOMPARE(s.next(line), LineSplitter::NeedMore); // before its LF is here
        s.feed("\n");
        QCOMPARE(s.next(line), LineSplitter::Line);
        QCOMPARE(line, QByteArray(16, 'a'));
        s.feed(QByteArray(17, 'a') + "\r\n");
        QCOMPARE(s.next(line), LineSplitter::Overflow);
        LineSplitter t(16);
        t.feed(QByteArray(17, 'b')); // no LF yet, already too long
        QCOMPARE(t.next(line), LineSplitter::Overflow);
        LineSplitter u(16);
        u.feed(QByteArray(16, 'c') + "x"); // no CR: the 17th character
        QCOMPARE(u.next(line), LineSplitter::Overflow);
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
