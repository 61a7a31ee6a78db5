#include "log/findbar.h"

#include "log/logcolours.h"
#include "log/logdisplay.h"
#include "log/logview.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QFontMetricsF>
#include <QPainter>
#include <QToolButton>

FindBar::FindBar(TrafficLogView *logView) : QWidget(logView), view(logView), finder(logView)
{
    setObjectName(QStringLiteral("LogFindBar"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(4, 2, 4, 2);
    row->setSpacing(4);

    auto *caption = new QLabel(QStringLiteral("Find:"), this);
    edit = new QLineEdit(this);
    edit->setObjectName(QStringLiteral("LogFindText"));
    edit->setAccessibleName(QStringLiteral("Find in log"));
    edit->setClearButtonEnabled(true);
    caption->setBuddy(edit);
    matchCase = new QCheckBox(QStringLiteral("Match case"), this);
    matchCase->setObjectName(QStringLiteral("LogFindMatchCase"));
    auto button = [this](const QString &text, const QString &tip) {
        auto *b = new QToolButton(this);
        b->setText(text);
        b->setToolTip(tip);
        b->setAccessibleName(tip);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        return b;
    };
    previousButton = button(QStringLiteral("\u25B2"), QStringLiteral("Previous match (Shift+F3)"));
    nextButton = button(QStringLiteral("\u25BC"), QStringLiteral("Next match (F3)"));
    statusLabel = new QLabel(this);
    statusLabel->setObjectName(QStringLiteral("LogFindStatus"));
    statusLabel->setMinimumWidth(
        statusLabel->fontMetrics().horizontalAdvance(QStringLiteral("0000000 of 00000000+")));
    closeButton = button(QStringLiteral("\u2715"), QStringLiteral("Close (Esc)"));

    row->addWidget(caption);
    row->addWidget(edit, 1);
    row->addWidget(previousButton);
    row->addWidget(nextButton);
    row->addWidget(matchCase);
    row->addWidget(statusLabel);
    row->addWidget(closeButton);

    connect(edit, &QLineEdit::textChanged, this, &FindBar::restart);
    connect(matchCase, &QCheckBox::toggled, this, &FindBar::restart);
    connect(previousButton, &QToolButton::clicked, this, [this] { step(Backward); });
    connect(nextButton, &QToolButton::clicked, this, [this] { step(Forward); });
    connect(closeButton, &QToolButton::clicked, this, &FindBar::close);
    connect(&finder, &LogSearch::finished, this, &FindBar::searchEnded);
    connect(&finder, &LogSearch::countChanged, this, &FindBar::showStatus);
    edit->installEventFilter(this);
    view->installEventFilter(this);
    hide();
}

void FindBar::open()
{
    if (!isVisible()) {
        origin = {view->linesMarked() ? view->cursorLine() : view->firstVisibleLine(), 0};
        view->setFindBarHeight(sizeHint().height());
        place();
        show();
        raise();
        if (!edit->text().isEmpty())
            restart();
    }
    edit->setFocus(Qt::ShortcutFocusReason);
    edit->selectAll();
}

void FindBar::close()
{
    if (!isVisible())
        return;
    hide();
    view->setFindBarHeight(0);
    finder.setPattern(QString(), true, LogMatch()); // stops any work under way
    view->setFocus(Qt::OtherFocusReason);
    view->viewport()->update();
}

void FindBar::step(Direction direction)
{
    if (!isVisible()) {
        open();
        return;
    }
    finder.step(direction, origin);
    showStatus();
}

void FindBar::restart()
{
    if (finder.current().isValid())
        origin = finder.current();
    // An empty text finds nothing and leaves the log as it is.
    finder.setPattern(edit->text(), matchCase->isChecked(), origin);
    showStatus();
    view->viewport()->update();
}

void FindBar::searchEnded()
{
    const LogMatch m = finder.current();
    if (m.isValid()) {
        origin = m;
        view->setCursorLine(m.line);
        scrollTo(m);
    }
    showStatus();
    view->viewport()->update();
}

QString FindBar::status() const
{
    const LogMatcher &m = finder.matcher();
    if (m.isEmpty())
        return QString();
    const bool complete = finder.countComplete();
    const qint64 total = finder.total();
    if (complete && total == 0 && !finder.searching())
        return QStringLiteral("No matches");
    const QString of = complete ? QString::number(total) : QString::number(total) + QLatin1Char('+');
    if (finder.current().isValid()) {
        const qint64 n = finder.currentNumber();
        return QStringLiteral("%1 of %2").arg(n > 0 ? QString::number(n) : QStringLiteral("?"), of);
    }
    if (finder.searching())
        return QStringLiteral("Searching...");
    return complete ? QStringLiteral("%1 matches").arg(total)
                    : QStringLiteral("%1 matches so far").arg(total);
}

void FindBar::showStatus()
{
    statusLabel->setText(status());
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == view) {
        if (event->type() == QEvent::Resize && isVisible())
            place();
        return false;
    }
    if (watched == edit && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        const bool shift = key->modifiers() & Qt::ShiftModifier;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            step(shift ? Backward : Forward);
            return true;
        }
        if (key->matches(QKeySequence::FindNext) || key->matches(QKeySequence::FindPrevious)) {
            step(key->matches(QKeySequence::FindPrevious) ? Backward : Forward);
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            close();
            return true;
        }
    }
    return false;
}

void FindBar::place()
{
    const QRect v = view->viewport()->geometry();
    setGeometry(v.left(), v.bottom() + 1, v.width(), sizeHint().height());
}

void FindBar::scrollTo(const LogMatch &m)
{
    view->showLine(m.line, m.column, finder.matcher().size());
}

void FindBar::paintMatches(QPainter &p, int line, const QByteArray &bytes, QPoint at, int lineHeight) const
{
    const LogMatcher &m = finder.matcher();
    if (m.matchesNothing())
        return;
    const QFontMetricsF fm(view->font());
    const LogMatch current = finder.current();
    const int right = view->viewport()->width();
    const char *data = bytes.constData();
    QString shown;
    qsizetype shownBytes = 0;
    qreal x = at.x();
    p.save();
    p.setPen(LogColours::matchText());
    m.forEachMatch(data, bytes.size(), [&](qsizetype start) {
        const qsizetype before = shown.size();
        AppendLogDisplayText(shown, data, shownBytes, start);
        x += fm.horizontalAdvance(shown.mid(before));
        if (x > right)
            return false;
        const qsizetype matchBegin = shown.size();
        AppendLogDisplayText(shown, data, start, start + m.size());
        shownBytes = start + m.size();
        const QString text = shown.mid(matchBegin);
        const qreal width = fm.horizontalAdvance(text);
        const bool isCurrent = current.line == line && current.column == start;
        p.fillRect(QRectF(x, at.y(), width, lineHeight),
                   isCurrent ? LogColours::currentMatchBackground() : LogColours::matchBackground());
        p.drawText(QPointF(x, at.y() + fm.ascent()), text);
        x += width;
        return true;
    });
    p.restore();
}
