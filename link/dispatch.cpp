// Outgoing commands: tagging, logging, dispatch and acknowledge pacing.

#include "app/tform1.h"
#include "link/protocol.h"
#include "check/markers.h"

#include <QCheckBox>
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
    const QByteArray line = AddTag(command).toLatin1();
    LogWithMarker(line, LogMarker::Operator);
    DispatchCommand(line, false);
}

QString TForm1::AddTag(const QString &command)
{
    const qint64 n = ReadTagNumber(EdTag->text());
    EdTag->setText(QString::number(n + 1));
    return MakeTaggedLine(n, command);
}

void TForm1::DispatchCommand(QByteArray line, bool fromRelay)
{
    if (ContainsWord(line, QLatin1String("STARTSESSION()"))) {
        sessionOpen = true;
        UpdateSessionControls();
    }
    if (ContainsWord(line, QLatin1String("ENDSESSION()"))) {
        sessionOpen = false;
        UpdateSessionControls();
    }
    bool rewritten = false;
    const Interception interception = InterceptCommand(line, &rewritten);
    if (RelayClientConnected() && !fromRelay) {
        const QByteArrayView tag = GetTag(QByteArrayView(line));
        if (!operatorTags.contains(tag))
            operatorTags.append(tag.toByteArray());
    }
    clearToSend = false;
    sendTimedOut = false;
    if (interception != Interception::None) {
        AnswerInterception(interception, line, fromRelay);
        // The made-up '&' acknowledges the command: no acknowledge will come
        // from the server for it, and a multi-send must not wait for one.
        clearToSend = true;
    } else {
        if (!TimerCTS->isActive())
            TimerCTS->start();
        WriteServerLine(line, rewritten, fromRelay);
    }
}

// An acknowledge from the server lets the next command go: a waiting
// multi-send sends its next row once this burst of lines is handled.
void TForm1::NoteAcknowledge(QByteArrayView line)
{
    if (line.size() <= ReplyTypeIndex || line[ReplyTypeIndex] != '&')
        return;
    clearToSend = true;
    TimerCTS->stop();
    if (multiSendActive)
        QMetaObject::invokeMethod(
            this, [this] { RunHandler([this] { AdvanceMultiSend(); }); }, Qt::QueuedConnection);
}

void TForm1::TimerCTSTimer()
{
    if (noTimeout)
        return;
    sendTimedOut = true;
    TimerCTS->stop();
    // The message's wording, misspelling and all, is what users and their
    // scripts know it by.
    hooks.message(QMessageBox::NoIcon, QStringLiteral("Error"), QStringLiteral("Timout sending command"));
    RunHandler([this] { AdvanceMultiSend(); });
}
