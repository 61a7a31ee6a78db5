// Finding text in the traffic log: the matcher, the sliced search and count,
// and the find bar.

#include "support/formfixture.h"

#include "log/findbar.h"
#include "log/logcolours.h"
#include "log/logsearch.h"
#include "log/logview.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

namespace {
QList<qsizetype> Matches(const LogMatcher &m, const QByteArray &line)
{
    QList<qsizetype> out;
    m.forEachMatch(line.constData(), line.size(), [&](qsizetype at) {
        out << at;
        return true;
    });
    return out;
}

// Waits for the search under way and its count to end.
bool Settle(const LogSearch &s)
{
    return QTest::qWaitFor([&s] { return !s.searching() && s.countComplete(); }, 20000);
}

QList<LogMatch> Walk(LogSearch &s, LogSearch::Direction d, int steps)
{
    QList<LogMatch> out;
    for (int i = 0; i < steps; ++i) {
        s.step(d);
        if (!Settle(s))
            return {};
        out << s.current();
    }
    return out;
}

bool VisibleInView(const TrafficLogView &view, int line)
{
    const int rows = (view.viewport()->height() - TrafficLogView::TextMargin) / view.lineHeight();
    return line >= view.firstVisibleLine() && line < view.firstVisibleLine() + rows;
}
int ScrollBarTop(const TrafficLogView &view)
{
    return view.horizontalScrollBar()->mapTo(&view, QPoint(0, 0)).y();
}
} // namespace

class TestLogSearch : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void matcherCaseAndBytes()
    {
        const LogMatcher exact(QStringLiteral("GoTo"), true);
        const LogMatcher loose(QStringLiteral("goto"), false);
        QCOMPARE(Matches(exact, "00001 GoTo(X(1)) goto GOTO"), (QList<qsizetype>{6}));
        QCOMPARE(Matches(loose, "00001 GoTo(X(1)) goto GOTO"), (QList<qsizetype>{6, 17, 22}));
        // Latin-1 letters fold too; × and ÷ are no letters, ß and ÿ have no
        // other case within Latin-1.
        const LogMatcher accents(QString::fromLatin1("\xe9t\xe9"), false); // été
        QCOMPARE(Matches(accents, "\xc9T\xc9 \xe9t\xe9 ete"), (QList<qsizetype>{0, 4}));
        QCOMPARE(Matches(LogMatcher(QString::fromLatin1("\xd7"), false), "\xf7\xd7"), (QList<qsizetype>{1}));
        // Matches never overlap, and are counted the same way.
        const LogMatcher aa(QStringLiteral("aa"), true);
        QCOMPARE(Matches(aa, "aaaaa"), (QList<qsizetype>{0, 2}));
        QCOMPARE(aa.countIn("aaaaa", 5), 2);
        // Control bytes, NUL and high bytes are ordinary bytes.
        const QByteArray odd("x\0\r\x01\xff\x80y", 7);
        QCOMPARE(
            LogMatcher(QString::fromLatin1("\0\r\x01\xff", 4), true).indexIn(odd.constData(), odd.size()), 1);
        QCOMPARE(LogMatcher(QString::fromLatin1("\xff\x80"), false).indexIn(odd.constData(), odd.size()), 4);
        // A long line, the match at its very end.
        QByteArray longLine(16384, 'a');
        longLine.replace(16380, 4, "GoTo");
        QCOMPARE(Matches(loose, longLine), (QList<qsizetype>{16380}));
        QCOMPARE(loose.indexIn(longLine.constData(), longLine.size(), 16381), -1);
        // Nothing to find: an empty text, or one beyond Latin-1.
        QVERIFY(LogMatcher(QString(), true).isEmpty());
        const LogMatcher euro(QStringLiteral("\u20ac"), false);
        QVERIFY(!euro.isEmpty());
        QVERIFY(euro.matchesNothing());
        QCOMPARE(euro.indexIn("?\x80", 2), -1);
    }

    void stepsRoundTheLogBothWays()
    {
        TrafficLogView view;
        view.clearLog();
        // Enough lines for several count and backward-search blocks.
        for (int i = 0; i < 20000; ++i)
            view.appendLine(i % 1500 == 7 ? QStringLiteral("%1 Error ERROR error").arg(i)
                                          : QStringLiteral("%1 line").arg(i));
        LogSearch s(&view);
        s.setPattern(QStringLiteral("error"), false, LogMatch{9000, 0});
        QVERIFY(Settle(s));
        QCOMPARE(s.current(), (LogMatch{9007, 5}));
        QCOMPARE(s.total(), 14 * 3);
        QCOMPARE(s.currentNumber(), 6 * 3 + 1);

        const QList<LogMatch> forward = Walk(s, LogSearch::Forward, 42);
        QCOMPARE(forward.size(), 42);
        QCOMPARE(forward.last(), (LogMatch{9007, 5})); // round the end back to the start
        QCOMPARE(forward.at(1), (LogMatch{9007, 17}));
        QCOMPARE(forward.at(2), (LogMatch{10507, 6}));
        QCOMPARE(s.currentNumber(), 19);
        const QList<LogMatch> backward = Walk(s, LogSearch::Backward, 42);
        QList<LogMatch> expected = forward;
        std::reverse(expected.begin(), expected.end());
        expected.removeFirst();
        expected << forward.last();
        QCOMPARE(backward, expected);

        // With case: one match a line.
        s.setPattern(QStringLiteral("ERROR"), true, LogMatch{0, 0});
        QVERIFY(Settle(s));
        QCOMPARE(s.current(), (LogMatch{7, 8}));
        QCOMPARE(s.total(), 14);
        QCOMPARE(s.currentNumber(), 1);
        s.step(LogSearch::Backward);
        QVERIFY(Settle(s));
        QCOMPARE(s.current(), (LogMatch{19507, 12}));
        QCOMPARE(s.currentNumber(), 14);

        // New lines are counted as they come; a clear forgets everything.
        view.appendLine(QStringLiteral("one more ERROR"));
        view.flushPending();
        QTRY_COMPARE(s.total(), 15);
        QCOMPARE(s.currentNumber(), 14);
        QSignalSpy ended(&s, &LogSearch::finished);
        view.clearLog();
        QCOMPARE(ended.count(), 1);
        QVERIFY(!s.current().isValid());
        QVERIFY(Settle(s));
        QCOMPARE(s.total(), 0);
    }

    void noMatchAndEmptyText()
    {
        TrafficLogView view;
        for (int i = 0; i < 100; ++i)
            view.appendLine(QStringLiteral("line %1").arg(i));
        LogSearch s(&view);
        s.setPattern(QStringLiteral("absent"), true, LogMatch{50, 0});
        QVERIFY(Settle(s));
        QVERIFY(!s.current().isValid());
        QCOMPARE(s.total(), 0);
        s.setPattern(QString(), true, LogMatch{50, 0});
        QVERIFY(!s.searching());
        s.step(LogSearch::Forward);
        QVERIFY(!s.searching());
        QVERIFY(!s.current().isValid());
    }

    void findBarKeys()
    {
        TrafficLogView view;
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.clearLog();
        for (int i = 0; i < 3000; ++i)
            view.appendLine(i % 1000 == 500
                                ? QStringLiteral("12.30.05:123  <<< %1 # Tool(\"Probe%2\")").arg(i).arg(i)
                                : QStringLiteral("12.30.05:123  <<< %1 &").arg(i));
        view.flushPending();
        view.verticalScrollBar()->setValue(0);
        view.setFocus();
        QTRY_VERIFY(view.hasFocus());
        const int cursorBefore = view.cursorLine();

        QTest::keyClick(&view, Qt::Key_F, Qt::ControlModifier);
        FindBar *bar = view.findBar();
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->parentWidget(), &view);
        QVERIFY(bar->textField()->hasFocus());
        // Below the text, above the horizontal scroll bar, within the log.
        QVERIFY(view.rect().contains(bar->geometry()));
        QVERIFY(!bar->geometry().intersects(view.viewport()->geometry()));
        QCOMPARE(bar->geometry().bottom() + 1, ScrollBarTop(view));

        // An empty text changes nothing.
        QTest::keyClick(bar->textField(), Qt::Key_Return);
        QCOMPARE(view.cursorLine(), cursorBefore);
        QCOMPARE(view.firstVisibleLine(), 0);
        QVERIFY(bar->status().isEmpty());

        QTest::keyClicks(bar->textField(), QStringLiteral("probe"));
        QTRY_COMPARE(bar->status(), QStringLiteral("1 of 3"));
        QCOMPARE(view.cursorLine(), 500);
        QVERIFY(VisibleInView(view, 500));
        QTest::keyClick(bar->textField(), Qt::Key_Return);
        QTRY_COMPARE(view.cursorLine(), 1500);
        QVERIFY(VisibleInView(view, 1500));
        QTRY_COMPARE(bar->status(), QStringLiteral("2 of 3"));
        QTest::keyClick(bar->textField(), Qt::Key_F3);
        QTRY_COMPARE(view.cursorLine(), 2500);
        QTest::keyClick(bar->textField(), Qt::Key_F3);
        QTRY_COMPARE(view.cursorLine(), 500);
        QTest::keyClick(bar->textField(), Qt::Key_Return, Qt::ShiftModifier);
        QTRY_COMPARE(view.cursorLine(), 2500);
        QTest::keyClick(bar->textField(), Qt::Key_F3, Qt::ShiftModifier);
        QTRY_COMPARE(view.cursorLine(), 1500);
        QTRY_COMPARE(bar->status(), QStringLiteral("2 of 3"));

        // Match case.
        bar->matchCaseBox()->setChecked(true);
        QTRY_COMPARE(bar->status(), QStringLiteral("No matches"));
        QCOMPARE(view.cursorLine(), 1500);
        bar->textField()->setText(QStringLiteral("Probe2"));
        QTRY_COMPARE(bar->status(), QStringLiteral("1 of 1"));
        QCOMPARE(view.cursorLine(), 2500);

        // The matches are painted over the text.
        view.repaint();
        const QImage image = view.viewport()->grab().toImage();
        bool highlighted = false;
        for (int x = 0; x < image.width() && !highlighted; ++x)
            for (int y = 0; y < image.height() && !highlighted; ++y)
                highlighted = image.pixelColor(x, y) == LogColours::currentMatchBackground();
        QVERIFY(highlighted);

        // Esc closes the bar; F3 in the log opens it again.
        QTest::keyClick(bar->textField(), Qt::Key_Escape);
        QVERIFY(!bar->isVisible());
        QTRY_VERIFY(view.hasFocus());
        QCOMPARE(view.viewport()->geometry().bottom() + 1, ScrollBarTop(view)); // room given back
        QTest::keyClick(&view, Qt::Key_F3);
        QVERIFY(bar->isVisible());
        QTRY_COMPARE(bar->status(), QStringLiteral("1 of 1"));
    }

    void findBarMovesNoWindowControl()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f));
        QList<QRect> before;
        const QList<QWidget *> controls = f->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        for (QWidget *w : controls)
            before << w->geometry();
        const QRect logRect = f->MemoLog->geometry();
        f->MemoLog->setFocus();
        QTest::keyClick(f->MemoLog, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(f->MemoLog->findBar()->isVisible());
        for (int i = 0; i < controls.size(); ++i)
            QCOMPARE(controls[i]->geometry(), before[i]);
        QCOMPARE(f->MemoLog->geometry(), logRect);
    }
};

QTEST_MAIN(TestLogSearch)
#include "tst_logsearch.moc"
