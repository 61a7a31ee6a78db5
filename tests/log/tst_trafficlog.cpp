// The traffic log: line format, contents, freeze and exclude filter.

#include "support/formfixture.h"
#include "support/helpers.h"

#include "check/markers.h"
#include "log/logview.h"
#include "log/timestamp.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>

class TestTrafficLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stampFormats()
    {
        QCOMPARE(FormatTimeStampPrefix(QTime(9, 5, 7, 42), QLatin1Char(':')),
                 QStringLiteral("09.05.07:042  "));
        QCOMPARE(FormatTimeStampPrefix(QTime(23, 59, 59, 999), QLatin1Char(':')).size(), 14);
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QCOMPARE(FormatConnectionStamp(QDateTime(QDate(2013, 11, 8), QTime(12, 30, 5, 123)), english),
                 QStringLiteral("  08.Nov.2013 - 12.30.05.123"));
        QCOMPARE(LocaleTimeSeparator(english), QLatin1Char(':'));
        // The cached clock agrees with the system's local time.
        const QTime before = QTime::currentTime();
        const QTime now = LocalTimeNow();
        const QTime after = QTime::currentTime();
        if (before <= after) // not across midnight
            QVERIFY(before.addMSecs(-1) <= now && now <= after.addMSecs(1));
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
        QCOMPARE(logBytes(&view), QByteArray("\r\nfirst\r\n") + all.toLatin1() + "\r\n");
        view.clearLog();
        QCOMPARE(view.lineCount(), 0);
        QCOMPARE(view.cursorLine(), -1);
        QVERIFY(logBytes(&view).isEmpty());
        view.appendLine(QStringLiteral("again"));
        QCOMPARE(view.lines(), QStringList{QStringLiteral("again")});
    }

    void followsTheEndAndFindsTheClickedLine()
    {
        TrafficLogView view;
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        for (int i = 1; i <= 25000; ++i)
            view.appendLine(QStringLiteral("line %1\r\0").arg(i));
        QCOMPARE(view.lineCount(), 25001);
        QVERIFY(view.paintPending());
        QTRY_VERIFY(!view.paintPending());
        const int first = view.firstVisibleLine();
        QVERIFY(first > 24900);

        QSignalSpy clicked(&view, &TrafficLogView::doubleClicked);
        const int y = 3 + 2 * view.lineHeight() + view.lineHeight() / 2;
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(20, y));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(view.cursorLine(), first + 2);
        QCOMPARE(view.line(first + 2), QStringLiteral("line %1\r").arg(first + 2) + QChar(0));

        // Scrolled away from the end, new lines don't move the view.
        view.verticalScrollBar()->setValue(10);
        view.appendLine(QStringLiteral("more"));
        view.flushPending();
        QCOMPARE(view.firstVisibleLine(), 10);
    }

    void markersAndTimeStamps()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->LogWithMarker(QStringLiteral("00042 GoTo(X(1))"), LogMarker::Rewritten);
        const QString stamped = fx.logLines().last();
        QCOMPARE(stamped.size(), 14 + 3 + 16);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d\\d.\\d\\d\\d  >R>00042"))
                    .match(stamped)
                    .hasMatch());
        f->noTimeStamp = true;
        f->LogWithMarker(QStringLiteral("00042 %"), LogMarker::ToRelay);
        QCOMPARE(fx.logLines().last(), QStringLiteral("<$< 00042 %"));
    }

    void freezeDropsTrafficButNotEvents()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->Timer2->setInterval(10000); // keep the flash visible for the test
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
        QVERIFY(f->PassesExcludeFilter(QStringLiteral("E9003 # x"))); // not ticked
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
        QVERIFY(f->PassesExcludeFilter(QStringLiteral("anything"))); // empty text never matches

        // Operator commands are never excluded.
        f->EdExclude->setText(QStringLiteral("Home"));
        f->RunHandler([f] { f->SendToIpp(QStringLiteral("Home()")); }); // not connected, but logged
        QVERIFY(fx.logLines().last().endsWith(QStringLiteral(">>> 00100 Home()")));
    }
};

QTEST_MAIN(TestTrafficLog)
#include "tst_trafficlog.moc"
