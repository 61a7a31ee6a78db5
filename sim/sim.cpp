// Server simulation towards the relay client: made-up replies, unasked
// events, the server-initiated tool change, and the interception of commands
// on their way to the server (arming a fault, answering in the server's
// place, rewriting) with the faults it fires on the server's replies.

#include "app/tform1.h"
#include "check/protocolchecker.h"
#include "link/protocol.h"
#include "check/markers.h"
#include "sim/rewrite.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QScopeGuard>

void TForm1::SendReplyToClient(const QString &text)
{
    if (!RelayClientConnected())
        return;
    const qint64 n = ReadTagNumber(EdTag->text());
    QString line = AddTag(text);
    if (replyEventTag)
        line = FormatTag(n, true) + QLatin1Char(' ') + TrimControls(text);
    if (replyingToOperator)
        LogWithMarker(line, LogMarker::FakedReply);
    else
        WriteRelayLine(line.toLatin1(), LogMarker::FakedReply, true);
}

void TForm1::DecrementTag()
{
    EdTag->setText(QString::number(ReadTagNumber(EdTag->text()) - 1));
}

void TForm1::SendEventToClient(const QString &text, const QString &type)
{
    if (!RelayClientConnected())
        return;
    const QString line = QStringLiteral("E0000 ") + type + QLatin1Char(' ') + text;
    WriteRelayLine(line.toLatin1(), LogMarker::Faked, true);
}

// EdTag takes the number of the command's tag; an event tag's "E" is kept
// aside for the reply lines, so that they carry the command's own tag.
void TForm1::BorrowTag(const QString &tag)
{
    replyEventTag = tag.startsWith(QLatin1Char('E'));
    EdTag->setText(replyEventTag ? tag.mid(1) : tag);
}

void TForm1::ReplyEmptyTransaction(const QString &tag)
{
    BorrowTag(tag);
    const auto reset = qScopeGuard([this] { replyEventTag = false; });
    SendReplyToClient(QStringLiteral("&"));
    DecrementTag();
    SendReplyToClient(QStringLiteral("%"));
}

void TForm1::ReplyDataTransaction(const QString &tag, const QString &data)
{
    BorrowTag(tag);
    const auto reset = qScopeGuard([this] { replyEventTag = false; });
    SendReplyToClient(QStringLiteral("&"));
    DecrementTag();
    SendReplyToClient(data);
    DecrementTag();
    SendReplyToClient(QStringLiteral("%"));
}

void TForm1::ReplyProbeType(const QString &tag, const QString &command)
{
    if (command.contains(QLatin1String("Found")))
        ReplyDataTransaction(tag, QStringLiteral("# FoundTool.ProbeType(-1)"));
    else
        ReplyDataTransaction(tag, QStringLiteral("# Tool.ProbeType(-1)"));
}

void TForm1::BtF1Click()
{
    SendEventToClient(QStringLiteral("KeyPress(\"F1\")"), QStringLiteral("#"));
}
void TForm1::BtF2Click()
{
    SendEventToClient(QStringLiteral("KeyPress(\"F2\")"), QStringLiteral("#"));
}
void TForm1::BtF3Click()
{
    SendEventToClient(QStringLiteral("KeyPress(\"F3\")"), QStringLiteral("#"));
}
void TForm1::BtF4Click()
{
    SendEventToClient(QStringLiteral("KeyPress(\"F4\")"), QStringLiteral("#"));
}

void TForm1::BtError9Click()
{
    SendEventToClient(QStringLiteral("Error(9, 0503, ,\"Controller E-STOP Fatal Error\")"),
                      QStringLiteral("!"));
}

void TForm1::btFakeCloseClick()
{
    SendReplyToClient(QStringLiteral("%"));
    DecrementTag();
}

void TForm1::FakeXonClick()
{
    SendReplyToClient(QStringLiteral("&"));
    DecrementTag();
}

void TForm1::BtNewToolClick()
{
    QString name = EdNewTool->text();
    name.remove(QLatin1Char('"'));
    name.remove(QLatin1Char(' '));
    edToolC->setText(name);
    if (!RelayClientConnected())
        return;
    const QString line = QStringLiteral("E0000 # ChangeTool(\"") + name + QStringLiteral("\")");
    WriteRelayLine(line.toLatin1(), LogMarker::Faked, true);
    const qsizetype p = name.indexOf(QLatin1Char('_'));
    if (cbIncrementTool->isChecked() && p >= 0) {
        const QString prefix = name.left(p + 1);
        const QString number = name.mid(p + 1);
        int k = 0;
        if (!ParseIntStrict(number, k))
            throw HandlerError(NotAnIntegerMessage(number));
        edToolC->setText(prefix + QString::number(qint64(k) + 1));
        EdNewTool->setText(edToolC->text());
    }
}

void TForm1::cbErrorClick()
{
    if (cbError->isChecked())
        cbToolError->setChecked(false);
}

void TForm1::cbToolErrorClick()
{
    if (cbToolError->isChecked())
        cbError->setChecked(false);
}

// ---------------------------------------------------------------- interception

// Looks at a command on its way to the server: a probing command arms the
// error switches, the probe-type and acceleration queries are answered here
// under the modus filter, and CZPositionOnSphere becomes a plain GoTo.
TForm1::Interception TForm1::InterceptCommand(QByteArray &line, bool *rewritten)
{
    Interception answer = Interception::None;
    if ((cbError->isChecked() || cbToolError->isChecked()) && ContainsWord(line, QLatin1String("PTMEAS(")))
        interceptTag = GetTag(QByteArrayView(line)).toByteArray();
    if (cbModusFilter->isChecked() && ContainsWord(line, QLatin1String("PROBETYPE"))) {
        interceptTag = GetTag(QByteArrayView(line)).toByteArray();
        answer = Interception::ProbeType;
    }
    if (cbModusFilter->isChecked() && ContainsWord(line, QLatin1String("ACCEL"))
        && ContainsWord(line, QLatin1String("SETPROP"))) {
        interceptTag = GetTag(QByteArrayView(line)).toByteArray();
        answer = Interception::Empty;
    }
    if (cbCircularMove->isChecked() && ContainsWord(line, QLatin1String("CZPOSITIONONSPHERE("))) {
        line = RewriteCZPositionOnSphere(QString::fromLatin1(line)).toLatin1();
        LogWithMarker(line, LogMarker::Rewritten);
        if (rewritten)
            *rewritten = true;
    }
    return answer;
}

void TForm1::AnswerInterception(Interception interception, const QByteArray &line, bool fromRelay)
{
    // The operator's own command is answered in the log only: its replies
    // never go to the relay client, made-up or not.
    replyingToOperator = !fromRelay;
    const auto reset = qScopeGuard([this] { replyingToOperator = false; });
    if (interception == Interception::ProbeType)
        ReplyProbeType(QString::fromLatin1(interceptTag), QString::fromLatin1(line));
    else
        ReplyEmptyTransaction(QString::fromLatin1(interceptTag));
}

// The armed error replaces the data line of the probing command's reply.
// True when the line was altered.
bool TForm1::InjectFault(QByteArray &line)
{
    if (interceptTag.isEmpty() || GetType(QByteArrayView(line)) != '#')
        return false;
    const QByteArray tag = GetTag(QByteArrayView(line)).toByteArray();
    if (tag != interceptTag)
        return false;
    if (cbError->isChecked())
        line = tag + " ! Error(2, 1006, PtMeas,\"no Touch\")";
    else if (cbToolError->isChecked())
        line = tag + " ! Error(2, 2100, PtMeas,\"Tool not appropriate, Server initiated Tool Change\")";
    interceptTag.clear();
    cbError->setChecked(false);
    cbToolError->setChecked(false);
    return true;
}
