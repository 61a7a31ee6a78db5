// Command shortcut buttons.

#include "app/tform1.h"

#include <QCheckBox>
#include <QLineEdit>

namespace {
// The tool name as sent: every '"' and blank removed, tabs and the rest kept.
QString cleanToolName(QLineEdit *field)
{
    QString name = field->text();
    name.remove(QLatin1Char('"'));
    name.remove(QLatin1Char(' '));
    field->setText(name);
    return name;
}
} // namespace

void TForm1::BtStartClick()
{
    if (sessionOpen) {
        SendToIpp(QStringLiteral("EndSession()"));
        sessionOpen = false;
    } else {
        SendToIpp(QStringLiteral("StartSession()"));
        sessionOpen = true;
    }
    UpdateSessionControls();
}

void TForm1::BtClearClick()
{
    SendToIpp(QStringLiteral("ClearAllErrors()"));
}
void TForm1::BtEnumClick()
{
    SendToIpp(QStringLiteral("EnumTools()"));
}
void TForm1::BtEnableUserClick()
{
    SendToIpp(QStringLiteral("EnableUser()"));
}
void TForm1::BTAbortEClick()
{
    SendToIpp(QStringLiteral("AbortE()"));
}

void TForm1::BtGetClick()
{
    QString command = QStringLiteral("Get(X(),Y(),Z()");
    if (CBWithRT->isChecked())
        command += QStringLiteral(", R()");
    if (CBWrist->isChecked())
        command += QStringLiteral(", Tool.A(), Tool.B()");
    command += QLatin1Char(')');
    SendToIpp(command);
}

void TForm1::BtChangeClick()
{
    SendToIpp(QStringLiteral("ChangeTool(\"") + cleanToolName(edToolC) + QStringLiteral("\")"));
}

void TForm1::BBtChange2Click()
{
    SendToIpp(QStringLiteral("ChangeTool(\"") + cleanToolName(EdToolF) + QStringLiteral("\")"));
}

void TForm1::BtFindClick()
{
    SendToIpp(QStringLiteral("FindTool(\"") + cleanToolName(EdToolF) + QStringLiteral("\")"));
}

void TForm1::BtCTAClick()
{
    SendToIpp(QStringLiteral("GetChangeToolAction(\"") + cleanToolName(EdToolF) + QStringLiteral("\")"));
}

void TForm1::BtCopyProbeClick()
{
    if (!IsShiftDown()) {
        EdToolF->setText(edToolC->text());
    } else if (!IsCtrlDown()) {
        edToolC->setText(EdToolF->text());
    } else {
        const QString c = edToolC->text();
        edToolC->setText(EdToolF->text());
        EdToolF->setText(c);
    }
}

void TForm1::EdCurrentCommandKeyPress(QChar key)
{
    if (key == QLatin1Char('\r'))
        BtSendClick();
}
