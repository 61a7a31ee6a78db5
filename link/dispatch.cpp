// Outgoing commands: tagging, logging, dispatch and acknowledge pacing.

#include "app/tform1.h"
#include "link/protocol.h"
#include "sim/rewrite.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QTimer>

void TForm1::BtSendClick()
{
    SendToIpp(StripComment(EdCurrentCommand->text()));
}

void TForm1::SendToIpp(const QString &command)
{
    // An empty command would go out as a bare tag: refused, and the tag
    // counter is left alone.
    if (TrimControls(command).isEmpty())
        return;
    const QString line = AddTag(command);
    AppendLog(TimeStampPrefix() + QStringLiteral(">>> ") + line);
    DispatchCommand(line, false);
}

QString TForm1::AddTag(const QString &command)
{
    const qint64 n = ReadTagNumber(EdTag->text());
    EdTag->setText(QString::number(n + 1));
    return MakeTaggedLine(n, command);
}

void TForm1::DispatchCommand(QString line, bool fromRelay)
{
    const QString upper = line.toUpper();
    bool replyProbeType = false;
    bool replyEmpty = false;
    if (upper.contains(QLatin1String("STARTSESSION()"))) {
        sessionOpen = true;
        UpdateSessionControls();
    }
    if (upper.contains(QLatin1String("ENDSESSION()"))) {
        sessionOpen = false;
        UpdateSessionControls();
    }
    if ((cbError->isChecked() || cbToolError->isChecked()) && upper.contains(QLatin1String("PTMEAS(")))
        interceptTag = GetTag(line);
    if (cbModusFilter->isChecked() && upper.contains(QLatin1String("PROBETYPE"))) {
        interceptTag = GetTag(line);
        replyProbeType = true;
    }
    if (cbModusFilter->isChecked() && upper.contains(QLatin1String("ACCEL"))
        && upper.contains(QLatin1String("SETPROP"))) {
        interceptTag = GetTag(line);
        replyEmpty = true;
    }
    if (cbCircularMove->isChecked() && upper.contains(QLatin1String("CZPOSITIONONSPHERE("))) {
        line = RewriteCZPositionOnSphere(line);
        LogWithMarker(line, QStringLiteral(">R>"));
    }
    if (RelayClientConnected() && !fromRelay) {
        const QString tag = GetTag(line);
        if (!operatorTags.contains(tag))
            operatorTags.append(tag);
    }
    clearToSend = false;
    sendTimedOut = false;
    if (replyProbeType || replyEmpty) {
        // The operator's own command is answered in the log only: its replies
        // never go to the relay client, made-up or not.
        replyingToOperator = !fromRelay;
        ClearOnExit reset{replyingToOperator};
        if (replyProbeType)
            ReplyProbeType(interceptTag, line);
        else
            ReplyEmptyTransaction(interceptTag);
        // The made-up '&' acknowledges the command: no acknowledge will come
        // from the server for it, and a multi-send must not wait for one.
        clearToSend = true;
    } else {
        if (!TimerCTS->isActive())
            TimerCTS->start();
        WriteServerLine(line);
    }
}

bool TForm1::WaitClearToSend()
{
    // A dropped link or a cancelled multi-send ends the wait too: no
    // acknowledge can come for what was sent over the old connection.
    while (!clearToSend && !sendTimedOut && !closed && !multiSendCancel && serverConnected)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
    return clearToSend;
}

void TForm1::TimerCTSTimer()
{
    if (noTimeout)
        return;
    sendTimedOut = true;
    TimerCTS->stop();
    hooks.message(QMessageBox::NoIcon, QStringLiteral("Error"), QStringLiteral("Timout sending command"));
}
