// Traffic log: time stamps, freeze and the exclude filter.

#include "app/tform1.h"
#include "check/protocolchecker.h"
#include "inspect/liveinspector.h"
#include "link/protocol.h"
#include "log/logview.h"
#include "check/markers.h"
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

// The log and the inspector listen to the traffic tap. A batch of records
// (one burst) shares one time stamp and one inspector time.
void TForm1::WireTraffic()
{
    traffic.setLog([this](const TrafficRecord &r) { return LogRecord(r); });
    traffic.subscribe([this](const TrafficRecord &r) { InspectRecord(r); });
    traffic.setBatchHandlers(
        [this](const TrafficRecord &first) {
            static const QChar separator = LocaleTimeSeparator();
            if (!noTimeStamp) {
                heldTimeStamp = FormatTimeStampPrefix(first.time, separator);
                heldStampBytes = heldTimeStamp.toLatin1();
            }
            inspector->holdClock();
        },
        [this] {
            heldTimeStamp = QString();
            heldStampBytes.clear();
            inspector->releaseClock();
        });
}

void TForm1::AppendLog(const QString &line)
{
    FlushDeferredTraffic();
    AppendLogNow(line);
}

qint64 TForm1::AppendLogNow(const QString &line)
{
    return AppendLogNow(QByteArrayView(line.toLatin1()));
}

qint64 TForm1::AppendLogNow(QByteArrayView line)
{
    if (logFrozen) {
        setBackground(CbFreeze, Qt::red);
        if (!Timer2->isActive())
            Timer2->start();
        return -1;
    }
    MemoLog->appendLine(line);
    return MemoLog->lineCount() - 1;
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

void TForm1::LogWithMarker(const QByteArray &line, QLatin1String marker)
{
    Publish(check::Leg::Operator, check::Direction::ToServer, line, marker, false, false);
}

void TForm1::Publish(check::Leg leg, check::Direction dir, const QByteArray &line, QLatin1String marker,
                     bool own, bool onWire)
{
    PublishRecord(TrafficRecord(leg, dir, line, marker, own, onWire));
}

void TForm1::PublishRelayed(check::Direction dir, const QByteArray &line, bool own)
{
    TrafficRecord record(check::Leg::Operator, dir, line, QLatin1String(), own);
    record.relayed = true;
    PublishRecord(std::move(record));
}

// A line not of this program's making is the one being received: it ended
// as that line did.
void TForm1::PublishRecord(TrafficRecord record)
{
    if (!record.own) {
        record.ending = receivedEnding;
        record.leadingCr = receivedLeadingCr;
    }
    traffic.publish(std::move(record));
}

// Every traffic line reaches the log through here. What was sent (the
// operator's commands, the relay client's lines) is never excluded;
// everything else passes the exclude filter first.
qint64 TForm1::LogRecord(const TrafficRecord &record)
{
    const QLatin1String marker = record.marker;
    if (marker == LogMarker::FromRelay && record.line.isEmpty())
        return AppendLogNow(QByteArrayView(">$> ---------- timeout"));
    const bool sent = marker == LogMarker::Operator || marker == LogMarker::FromRelay;
    if (!sent && CbExclude->isChecked() && !PassesExcludeFilter(QString::fromLatin1(record.line)))
        return -1;
    // Records are logged in a batch, whose stamp is held (empty without
    // time stamps).
    logLineBuffer.resize(0);
    logLineBuffer.append(heldStampBytes).append(marker.data(), marker.size()).append(record.line);
    return AppendLogNow(QByteArrayView(logLineBuffer));
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
    traffic.logCleared();
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
