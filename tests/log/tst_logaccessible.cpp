// The traffic log as assistive technology reads it.

#include "log/logaccessible.h"
#include "log/logview.h"

#include <QAccessible>
#include <QScrollBar>
#include <QTest>

namespace {
QList<QAccessible::Event> events;
QList<int> positions;
QStringList texts;

void RecordEvent(QAccessibleEvent *event)
{
    events << event->type();
    if (event->type() == QAccessible::TextInserted) {
        auto *e = static_cast<QAccessibleTextInsertEvent *>(event);
        positions << e->changePosition();
        texts << e->textInserted();
    } else if (event->type() == QAccessible::TextRemoved) {
        auto *e = static_cast<QAccessibleTextRemoveEvent *>(event);
        positions << e->changePosition();
        texts << e->textRemoved();
    }
}

QAccessibleTextInterface *TextOf(TrafficLogView &view)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&view);
    return iface ? iface->textInterface() : nullptr;
}

// Lines of many lengths, bytes beyond ASCII and control bytes among them.
QStringList SampleLines(int count)
{
    QStringList lines;
    for (int i = 0; i < count; ++i) {
        QString line =
            QStringLiteral("12.30.05:123  <<< %1 # word%2").arg(i, 5, 10, QLatin1Char('0')).arg(i % 7);
        line += QString(i % 11, QChar(0xe9));
        if (i % 13 == 0)
            line = QString();
        if (i % 17 == 0)
            line += QStringLiteral("\t\x01\x7f") + QChar(0xff);
        lines << line;
    }
    return lines;
}
} // namespace

class TestLogAccessible : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readOnlyMultiLineText()
    {
        TrafficLogView view;
        view.setAccessibleName(QStringLiteral("Traffic log"));
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&view);
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::EditableText);
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Traffic log"));
        const QAccessible::State s = iface->state();
        QVERIFY(s.readOnly);
        QVERIFY(s.multiLine);
        QVERIFY(!s.editable);
        QVERIFY(iface->textInterface());
        // The log starts with one empty line: no characters.
        QCOMPARE(iface->textInterface()->characterCount(), 0);
        QCOMPARE(iface->textInterface()->text(0, -1), QString());
    }

    void textOffsetsAndBoundaries()
    {
        TrafficLogView view;
        view.clearLog();
        const QStringList lines = SampleLines(300);
        for (const QString &l : lines)
            view.appendLine(l);
        QString longLine(16384, QLatin1Char('x'));
        longLine[16383] = QChar(0x80);
        view.appendLine(longLine);
        const QString all = (lines + QStringList{longLine}).join(QLatin1Char('\n'));
        QAccessibleTextInterface *t = TextOf(view);
        QCOMPARE(t->characterCount(), all.size());
        QCOMPARE(t->text(0, t->characterCount()), all);
        QCOMPARE(t->text(0, -1), all);
        for (int start : {0, 1, 37, 64 * 30 + 5, 5000, int(all.size()) - 20000})
            for (int length : {0, 1, 30, 2500})
                QCOMPARE(t->text(start, start + length), all.mid(start, length));

        // Lines: every offset lies in the line that holds it, LF included.
        int s = 0, e = 0;
        int begin = 0;
        for (int i = 0; i < lines.size(); ++i) {
            const int end = begin + int(lines[i].size()) + 1;
            for (int o : {begin, (begin + end) / 2, end - 1}) {
                QCOMPARE(t->textAtOffset(o, QAccessible::LineBoundary, &s, &e), all.mid(begin, end - begin));
                QCOMPARE(s, begin);
            }
            begin = end;
        }
        QCOMPARE(t->textAtOffset(all.size() - 1, QAccessible::LineBoundary, &s, &e), longLine);
        // Before and after, lines and characters.
        const int line2 = int(lines[0].size() + lines[1].size()) + 2;
        QCOMPARE(t->textBeforeOffset(line2 + 3, QAccessible::LineBoundary, &s, &e),
                 lines[1] + QLatin1Char('\n'));
        QCOMPARE(t->textAfterOffset(line2 + 3, QAccessible::LineBoundary, &s, &e),
                 lines[3] + QLatin1Char('\n'));
        QCOMPARE(t->textBeforeOffset(line2 + 3, QAccessible::CharBoundary, &s, &e), all.mid(line2 + 2, 1));
        QCOMPARE(t->textAfterOffset(line2 + 3, QAccessible::CharBoundary, &s, &e), all.mid(line2 + 4, 1));
        QCOMPARE(t->textAtOffset(0, QAccessible::LineBoundary, &s, &e), lines[0] + QLatin1Char('\n'));
        const int empty = int(lines[0].size() + lines[1].size() + lines[2].size() + 3)
            + int(lines.mid(3, 10).join(QLatin1Char('\n')).size()) + 1; // line 13
        QCOMPARE(t->textAtOffset(empty, QAccessible::LineBoundary, &s, &e), QStringLiteral("\n"));
        QCOMPARE(t->textBeforeOffset(0, QAccessible::LineBoundary, &s, &e), QString());
        QCOMPARE(t->textAfterOffset(all.size() - 5, QAccessible::LineBoundary, &s, &e), QString());
        // Words.
        const int word = line2 + int(lines[2].indexOf(QStringLiteral("word2")));
        QCOMPARE(t->textAtOffset(word + 2, QAccessible::WordBoundary, &s, &e).left(5),
                 QStringLiteral("word2"));
        QCOMPARE(s, word);
        QCOMPARE(t->textAfterOffset(word - 1, QAccessible::WordBoundary, &s, &e).left(5),
                 QStringLiteral("word2"));
        QCOMPARE(t->textAtOffset(2, QAccessible::NoBoundary, &s, &e), all);
    }

    void caretSelectionAndGeometry()
    {
        TrafficLogView view;
        view.clearLog();
        const QStringList lines = SampleLines(2000);
        for (const QString &l : lines)
            view.appendLine(l);
        view.resize(600, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.flushPending();
        QAccessibleTextInterface *t = TextOf(view);
        auto startOf = [&lines](int line) {
            int o = 0;
            for (int i = 0; i < line; ++i)
                o += int(lines[i].size()) + 1;
            return o;
        };

        view.setCursorLine(1500);
        QCOMPARE(t->cursorPosition(), startOf(1500));
        QCOMPARE(t->selectionCount(), 1);
        int s = 0, e = 0;
        view.selectLines(1490, 1495);
        t->selection(0, &s, &e);
        QCOMPARE(s, startOf(1490));
        QCOMPARE(e, startOf(1496) - 1);
        t->setSelection(0, startOf(20) + 3, startOf(23));
        QCOMPARE(view.selectionFirst(), 20);
        QCOMPARE(view.selectionLast(), 22);
        t->setCursorPosition(startOf(700) + 2);
        QCOMPARE(view.cursorLine(), 700);

        // Scrolling to a text brings its line into view.
        t->scrollToSubstring(startOf(1234) + 1, startOf(1234) + 4);
        const int rows = (view.viewport()->height() - TrafficLogView::TextMargin) / view.lineHeight();
        QVERIFY(view.firstVisibleLine() <= 1234 && 1234 < view.firstVisibleLine() + rows);

        // A character's rectangle, in screen coordinates, leads back to it;
        // a click there puts the caret on its line.
        const int first = view.firstVisibleLine();
        for (int line : {first, first + 3, first + rows - 1}) {
            for (int column : {0, 5, 19, int(lines[line].size()) - 1}) {
                if (column < 0)
                    continue;
                const int offset = startOf(line) + column;
                const QRect r = t->characterRect(offset);
                QVERIFY(!r.isEmpty());
                QCOMPARE(t->offsetAtPoint(r.center()), offset);
            }
            const QRect r = t->characterRect(startOf(line));
            QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::NoModifier,
                              view.viewport()->mapFromGlobal(r.center()));
            QCOMPARE(view.cursorLine(), line);
            QCOMPARE(t->cursorPosition(), startOf(line));
        }
        // Tabs are wider than one column; the character after one still hits.
        const int tabbed = first + (17 - first % 17) % 17;
        if (tabbed < first + rows) {
            const int tab = int(lines[tabbed].indexOf(QLatin1Char('\t')));
            const QRect tabRect = t->characterRect(startOf(tabbed) + tab);
            QVERIFY(tabRect.width() > t->characterRect(startOf(tabbed)).width());
            QCOMPARE(t->offsetAtPoint(t->characterRect(startOf(tabbed) + tab + 1).center()),
                     startOf(tabbed) + tab + 1);
        }
        // Outside the text.
        QCOMPARE(t->offsetAtPoint(view.viewport()->mapToGlobal(QPoint(-5, 10))), -1);
    }

    void oneInsertEventPerBurst()
    {
        TrafficLogView view;
        view.clearLog();
        view.appendLine(QStringLiteral("first"));
        view.flushPending();
        LogTextIndex::setEventSink(RecordEvent);
        QAccessibleTextInterface *t = TextOf(view);
        QCOMPARE(t->characterCount(), 5);
        events.clear();
        positions.clear();
        texts.clear();

        for (int i = 0; i < 500; ++i)
            view.appendLine(QStringLiteral("line %1").arg(i));
        QVERIFY(!events.contains(QAccessible::TextInserted)); // not before the repaint
        QTRY_VERIFY(!view.paintPending());
        QCOMPARE(events.count(QAccessible::TextInserted), 1);
        QCOMPARE(positions.value(0), 5);
        QStringList added;
        for (int i = 0; i < 500; ++i)
            added << QStringLiteral("line %1").arg(i);
        QCOMPARE(texts.value(0), QLatin1Char('\n') + added.join(QLatin1Char('\n')));
        QCOMPARE(t->characterCount(), 5 + int(texts.value(0).size()));

        // A clear tells how much went.
        const int count = t->characterCount();
        view.clearLog();
        QCOMPARE(events.count(QAccessible::TextRemoved), 1);
        QCOMPARE(texts.value(1).size(), count);
        QCOMPARE(t->characterCount(), 0);
        view.appendLine(QStringLiteral("again"));
        view.flushPending();
        QCOMPARE(events.count(QAccessible::TextInserted), 2);
        QCOMPARE(positions.value(2), 0);
        QCOMPARE(texts.value(2), QStringLiteral("again"));
        QCOMPARE(t->text(0, -1), QStringLiteral("again"));

        // The caret follows a click.
        events.clear();
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.appendLine(QStringLiteral("second"));
        view.flushPending();
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(10, TrafficLogView::TextMargin + view.lineHeight() + 2));
        QTRY_VERIFY(events.contains(QAccessible::TextCaretMoved));
        QCOMPARE(t->cursorPosition(), 6);

        LogTextIndex::setEventSink(nullptr);
    }
};

QTEST_MAIN(TestLogAccessible)
#include "tst_logaccessible.moc"
