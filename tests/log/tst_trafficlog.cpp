// The traffic log: line format, contents, freeze and exclude filter.

#include "support/formfixture.h"

#include "log/logview.h"
#include "log/timestamp.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTimer>

class TestTrafficLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stampFormats()
    {
        QCOMPARE(FormatTimeStampPrefix(QTime(9, 5, 7, 42), QLatin1Char(':')), QStringLiteral("09.05.07:042  "));
        QCOMPARE(FormatTimeStampPrefix(QTime(23, 59, 59, 999), QLatin1Char(':')).size(), 14);
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QCOMPARE(FormatConnectionStamp(QDateTime(QDate(2013, 11, 8), QTime(12, 30, 5, 123)), english),
                 QStringLiteral("  08.Nov.2013 - 12.30.05.123"));
        QCOMPARE(LocaleTimeSeparator(english), QLatin1Char(':'));
    }

    void contentsAtOnceAndByteExact()
    {
        TrafficLogView view;
        QString all;
        for (int b = 1; b < 256; ++b)
            if (b != '\n')
                all += QChar(b);
        view.appendLine(QStringLiteral("first"));
        view.appendLine(all);
        // In the contents before any painting happened.
        QCOMPARE(view.lineCount(), 3);
        QCOMPARE(view.line(2), all);
        QCOMPARE(view.bytesWithCrLf(), QByteArray("\r\nfirst\r\n") + all.toLatin1() + "\r\n");
        view.flushPending();
        // One widget line per log line, whatever the bytes.
        QCOMPARE(view.document()->blockCount(), 3);
        view.clearLog();
        QCOMPARE(view.lineCount(), 0);
        QVERIFY(view.bytesWithCrLf().isEmpty());
        view.appendLine(QStringLiteral("again"));
        view.flushPending();
        QCOMPARE(view.document()->blockCount(), 1);
        QCOMPARE(view.lines(), QStringList{QStringLiteral("again")});
    }

    void burstPaintedInSlicesMatchesContents()
    {
        TrafficLogView view;
        view.show();
        for (int i = 0; i < 25000; ++i)
            view.appendLine(QStringLiteral("line %1\r").arg(i));
        QCOMPARE(view.lineCount(), 25001);
        QTRY_VERIFY(!view.paintPending());
        QCOMPARE(view.document()->blockCount(), 25001);
        QCOMPARE(view.document()->lastBlock().text(), QStringLiteral("line 24999") + QChar(0x240D));
        QCOMPARE(view.line(25000), QStringLiteral("line 24999\r"));
    }

    void markersAndTimeStamps()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->LogWithMarker(QStringLiteral("00042 GoTo(X(1))"), QStringLiteral(">R>"));
        const QString stamped = fx.logLines().last();
        QCOMPARE(stamped.size(), 14 + 3 + 16);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d\\d.\\d\\d\\d  >R>00042")).match(stamped).hasMatch());
        f->noTimeStamp = true;
        f->LogWithMarker(QStringLiteral("00042 %"), QStringLiteral("<$< "));
        QCOMPARE(fx.logLines().last(), QStringLiteral("<$< 00042 %"));
    }

    void freezeDropsTrafficButNotEvents()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->Timer2->setInterval(10000);  // keep the flash visible for the test
        f->CbFreeze->click();
        QVERIFY(f->logFrozen);
        QCOMPARE(f->MemoLog->palette().color(QPalette::Base), QColor(192, 220, 192));
        f->AppendLog(QStringLiteral("lost"));
        QCOMPARE(f->CbFreeze->palette().color(QPalette::Window), QColor(Qt::red));
        QVERIFY(f->Timer2->isActive());
        f->LogEvent(QStringLiteral("---------- Disconnected"));
        QCOMPARE(fx.logLines(), (QStringList{QString(), QStringLiteral("---------- Disconnected")}));
        f->Timer2Timer();
        QVERIFY(f->CbFreeze->palette().color(QPalette::Window) != QColor(Qt::red));

        f->BtClearLogClick();
        QVERIFY(!f->logFrozen);
        QVERIFY(!f->CbFreeze->isChecked());
        QCOMPARE(f->MemoLog->lineCount(), 0);
        f->AppendLog(QStringLiteral("kept"));
        QCOMPARE(fx.logLines(), QStringList{QStringLiteral("kept")});
    }

    void excludeFilter()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        QVERIFY(f->PassesExcludeFilter(QStringLiteral("E9003 # x")));  // not ticked
        f->btPCDMISClick();
        QCOMPARE(f->EdExclude->text(), QStringLiteral("E9003 #"));
        QVERIFY(f->CbExclude->isChecked());
        QVERIFY(!f->PassesExcludeFilter(QStringLiteral("E9003 # KeyPress(\"F1\")")));
        QCOMPARE(f->CbExclude->palette().color(QPalette::Window), QColor(Qt::red));
        QVERIFY(f->Timer1->isActive());
        QVERIFY(f->PassesExcludeFilter(QStringLiteral("e9003 # lower case passes")));
        f->btMetrologClick();
        QCOMPARE(f->EdExclude->text(), QStringLiteral("E0908 #"));
        f->EdExclude->setText(QStringLiteral("   "));
        QVERIFY(f->PassesExcludeFilter(QStringLiteral("anything")));  // empty text never matches

        // Operator commands are never excluded.
        f->EdExclude->setText(QStringLiteral("Home"));
        f->RunHandler([f] { f->SendToIpp(QStringLiteral("Home()")); });  // not connected, but logged
        QVERIFY(fx.logLines().last().endsWith(QStringLiteral(">>> 00100 Home()")));
    }
};

QTEST_MAIN(TestTrafficLog)
#include "tst_trafficlog.moc"
