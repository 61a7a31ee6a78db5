// Traffic log: time stamps, freeze and the exclude filter.

#include "app/tform1.h"
#include "check/protocolchecker.h"
#include "inspect/liveinspector.h"
#include "link/protocol.h"
#include "log/logview.h"
#include "log/markers.h"
#include "log/timestamp.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTimer>

namespace {
void setBackground(QWidget *w, const QColor &color)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, color);
    p.setColor(QPalette::Button, color);
    w->setPalette(p);
}
} // namespace

QString TForm1::TimeStampPrefix() const
{
    if (noTimeStamp)
        return QString();
    if (!heldTimeStamp.isNull())
        return heldTimeStamp;
    static const QChar separator = LocaleTimeSeparator();
    return FormatTimeStampPrefix(LocalTimeNow(), separator);
}

void TForm1::AppendLog(const QString &line)
{
    FlushDeferredTraffic();
    if (logFrozen) {
        setBackground(CbFreeze, Qt::red);
        if (!Timer2->isActive())
            Timer2->start();
        return;
    }
    MemoLog->appendLine(line);
}

void TForm1::LogEvent(const QString &line)
{
    FlushDeferredTraffic();
    MemoLog->appendLine(line);
}

bool TForm1::PassesExcludeFilter(const QString &line)
{
    if (!CbExclude->isChecked())
        return true;
    const QString text = TrimControls(EdExclude->text());
    if (text.isEmpty() || !line.contains(text))
        return true;
    setBackground(CbExclude, Qt::red);
    if (!Timer1->isActive())
        Timer1->start();
    return false;
}

// Every traffic line goes through here. What was sent (the operator's
// commands, the relay client's lines) is never excluded; everything else
// passes the exclude filter first.
void TForm1::LogWithMarker(const QString &line, QLatin1String marker)
{
    if (trafficDeferred > 0) {
        // What the routing asks of the last line is known at once.
        lastLogText = line;
        lastLogMarker = marker;
        lastLogLine = -1;
        deferredTraffic.push_back({line, marker, check::Leg::Operator, check::Direction::ToServer, false});
        return;
    }
    LogWithMarkerNow(line, marker);
}

void TForm1::LogWithMarkerNow(const QString &line, QLatin1String marker)
{
    const bool sent = marker == LogMarker::Operator || marker == LogMarker::FromRelay;
    lastLogText = line;
    lastLogMarker = marker;
    lastLogLine = -1;
    if (sent || PassesExcludeFilter(line)) {
        AppendLog(TimeStampPrefix() + marker + line);
        if (!logFrozen)
            lastLogLine = MemoLog->lineCount() - 1;
    }
}

void TForm1::EndDeferTraffic()
{
    if (--trafficDeferred == 0)
        FlushDeferredTraffic();
}

void TForm1::FlushDeferredTraffic()
{
    if (deferredTraffic.empty())
        return;
    std::vector<DeferredTraffic> waiting;
    waiting.swap(deferredTraffic);
    // The burst arrived in one piece: its lines share one time stamp.
    heldTimeStamp = TimeStampPrefix();
    inspector->holdClock();
    for (const DeferredTraffic &t : waiting) {
        if (t.marker.data())
            LogWithMarkerNow(t.line, t.marker);
        else
            InspectLineNow(t.leg, t.dir, t.line, t.own);
    }
    inspector->releaseClock();
    heldTimeStamp = QString();
    // The vector's room is kept for the next burst.
    waiting.clear();
    if (deferredTraffic.empty())
        deferredTraffic.swap(waiting);
}

void TForm1::SetFrozen(bool on)
{
    logFrozen = on;
    QPalette p = MemoLog->palette();
    p.setColor(QPalette::Base, on ? QColor(192, 220, 192) : QApplication::palette().color(QPalette::Base));
    MemoLog->setPalette(p);
}

void TForm1::CbFreezeClick()
{
    SetFrozen(CbFreeze->isChecked());
}

void TForm1::BtClearLogClick()
{
    MemoLog->clearLog();
    inspector->logCleared();
    lastLogLine = -1;
    CbFreeze->setChecked(false);
    SetFrozen(false);
}

void TForm1::Timer1Timer()
{
    setBackground(CbExclude, QApplication::palette().color(QPalette::Button));
}

void TForm1::Timer2Timer()
{
    setBackground(CbFreeze, QApplication::palette().color(QPalette::Button));
}

void TForm1::btPCDMISClick()
{
    EdExclude->setText(QStringLiteral("E9003 #"));
    CbExclude->setChecked(true);
}

void TForm1::btMetrologClick()
{
    EdExclude->setText(QStringLiteral("E0908 #"));
    CbExclude->setChecked(true);
}
