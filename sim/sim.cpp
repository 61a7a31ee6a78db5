// Server simulation towards the relay client: made-up replies, unasked
// events and the server-initiated tool change.

#include "app/tform1.h"
#include "link/protocol.h"

#include <QCheckBox>
#include <QLineEdit>

void TForm1::SendReplyToClient(const QString &text)
{
    if (!RelayClientConnected())
        return;
    const qint64 n = ReadTagNumber(EdTag->text());
    QString line = AddTag(text);
    if (replyEventTag)
        line = FormatTag(n, true) + QLatin1Char(' ') + TrimControls(text);
    if (!replyingToOperator)
        WriteRelayLine(line);
    LogWithMarker(line, QStringLiteral("<F<"));
}

void TForm1::DecrementTag()
{
    EdTag->setText(QString::number(ReadTagNumber(EdTag->text()) - 1));
}

void TForm1::SendEventToClient(const QString &text, const QString &type)
{
    const QString stamp = TimeStampPrefix();
    if (!RelayClientConnected())
        return;
    const QString line = QStringLiteral("E0000 ") + type + QLatin1Char(' ') + text;
    WriteRelayLine(line);
    if (PassesExcludeFilter(line))
        AppendLog(stamp + QStringLiteral("<F< ") + line);
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
    ClearOnExit reset{replyEventTag};
    SendReplyToClient(QStringLiteral("&"));
    DecrementTag();
    SendReplyToClient(QStringLiteral("%"));
}

void TForm1::ReplyDataTransaction(const QString &tag, const QString &data)
{
    BorrowTag(tag);
    ClearOnExit reset{replyEventTag};
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

void TForm1::BtF1Click() { SendEventToClient(QStringLiteral("KeyPress(\"F1\")"), QStringLiteral("#")); }
void TForm1::BtF2Click() { SendEventToClient(QStringLiteral("KeyPress(\"F2\")"), QStringLiteral("#")); }
void TForm1::BtF3Click() { SendEventToClient(QStringLiteral("KeyPress(\"F3\")"), QStringLiteral("#")); }
void TForm1::BtF4Click() { SendEventToClient(QStringLiteral("KeyPress(\"F4\")"), QStringLiteral("#")); }

void TForm1::BtError9Click()
{
    SendEventToClient(QStringLiteral("Error(9, 0503, ,\"Controller E-STOP Fatal Error\")"), QStringLiteral("!"));
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
    const QString stamp = TimeStampPrefix();
    QString name = EdNewTool->text();
    name.remove(QLatin1Char('"'));
    name.remove(QLatin1Char(' '));
    edToolC->setText(name);
    if (!RelayClientConnected())
        return;
    const QString line = QStringLiteral("E0000 # ChangeTool(\"") + name + QStringLiteral("\")");
    WriteRelayLine(line);
    if (PassesExcludeFilter(line))
        AppendLog(stamp + QStringLiteral("<F< ") + line);
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
