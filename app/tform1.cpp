#include "app/tform1.h"

#include "app/profile.h"
#include "commands/keycodes.h"
#include "inspect/inspectorwindow.h"
#include "log/logview.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

enum Anchor { MoveX = 1, MoveY = 2, GrowW = 4, GrowH = 8 };

constexpr int DesignWidth = 1120;
constexpr int DesignHeight = 716;

void setTextColor(QWidget *w, const QColor &color)
{
    QPalette p = w->palette();
    p.setColor(QPalette::ButtonText, color);
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    w->setPalette(p);
}

void enlargeFont(QWidget *w, int points, bool bold = false)
{
    QFont f = w->font();
    f.setPointSize(points);
    f.setBold(bold);
    w->setFont(f);
}

} // namespace

TForm1::TForm1(QWidget *parent, FormHooks formHooks) : QWidget(parent), hooks(std::move(formHooks))
{
    const FormHooks desktop = FormHooks::desktop(this);
    if (!hooks.message)
        hooks.message = desktop.message;
    if (!hooks.confirm)
        hooks.confirm = desktop.confirm;
    if (!hooks.openFileName)
        hooks.openFileName = desktop.openFileName;
    if (!hooks.saveFileName)
        hooks.saveFileName = desktop.saveFileName;
    if (!hooks.modifiers)
        hooks.modifiers = desktop.modifiers;
    if (!hooks.progress)
        hooks.progress = desktop.progress;

    setObjectName(QStringLiteral("TForm1"));
    setWindowTitle(QStringLiteral("    Torvane V2.25   November 8th 2013"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    setFont(font);
    setGeometry(445, 242, DesignWidth, DesignHeight);
    setMinimumSize(DesignWidth, DesignHeight);

    buildControls();
    wireHandlers();
    relayout();
    FormCreate();
}

TForm1::~TForm1()
{
    // The connections call the window's handlers: they go first, so that no
    // handler runs on a half-destroyed window.
    delete quickLook;
    delete IdTCPServer1;
    delete IdTCPClient1;
    delete inspectorWindow; // before the inspector it shows
}

void TForm1::place(QWidget *w, int x, int y, int width, int height, int anchors)
{
    placements.push_back({w, QRect(x, y, width, height), anchors});
}

void TForm1::buildControls()
{
    auto edit = [this](QLineEdit *&field, const char *name, const QString &text, const QString &accessible) {
        field = new QLineEdit(text, this);
        field->setObjectName(QLatin1String(name));
        field->setAccessibleName(accessible);
    };
    auto button = [this](QPushButton *&b, const char *name, const QString &caption) {
        b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
    };
    auto check = [this](QCheckBox *&c, const char *name, const QString &caption, bool ticked = false) {
        c = new QCheckBox(caption, this);
        c->setObjectName(QLatin1String(name));
        c->setChecked(ticked);
    };

    // Connection and status area
    edit(EdHost, "EdHost", QStringLiteral("127.0.0.1"), QStringLiteral("Host"));
    edit(EdPort, "EdPort", QStringLiteral("1294"), QStringLiteral("Port"));
    edit(edListenPort, "edListenPort", QStringLiteral("1295"), QStringLiteral("Relay port"));
    button(BtConnect, "BtConnect", QStringLiteral("Connect"));
    enlargeFont(BtConnect, 14, true);
    setTextColor(BtConnect, QColor(0, 255, 0));
    LaStatus = new QLabel(QStringLiteral("Idle ..."), this);
    LaStatus->setObjectName(QStringLiteral("LaStatus"));
    LaServerStatus = new QLabel(QString(), this);
    LaServerStatus->setObjectName(QStringLiteral("LaServerStatus"));
    check(CBStay, "CBStay", QStringLiteral("Stay on Top"));
    button(BtStart, "BtStart", QStringLiteral("StartSession()"));
    enlargeFont(BtStart, 12, true);
    setTextColor(BtStart, QColor(0, 255, 0));
    button(BtClear, "BtClear", QStringLiteral("ClearAllErrors()"));
    enlargeFont(BtClear, 12, true);
    setTextColor(BtClear, QColor(255, 0, 255));
    button(BtEnum, "BtEnum", QStringLiteral("EnumTools()"));
    button(BtEnableUser, "BtEnableUser", QStringLiteral("EnableUser"));
    button(BTAbortE, "BTAbortE", QStringLiteral("AbortE"));
    QFont boldFont = BTAbortE->font();
    boldFont.setBold(true);
    BTAbortE->setFont(boldFont);
    setTextColor(BTAbortE, QColor(255, 0, 0));
    button(BtGet, "BtGet", QStringLiteral("Get(..."));
    check(CBWithRT, "CBWithRT", QStringLiteral("Use RT"));
    check(CBWrist, "CBWrist", QStringLiteral("Use Wrist"));

    place(EdHost, 8, 8, 110, 24);
    place(EdPort, 122, 8, 50, 24);
    place(edListenPort, 176, 8, 50, 24);
    place(CBStay, 8, 34, 110, 20);
    place(BtConnect, 232, 6, 124, 46);
    place(LaStatus, 364, 8, 260, 20);
    place(LaServerStatus, 364, 30, 260, 20);
    place(BtStart, 8, 58, 162, 46);
    place(BtClear, 176, 58, 162, 46);
    place(BtEnum, 344, 58, 92, 22);
    place(BtEnableUser, 344, 82, 92, 22);
    place(BTAbortE, 440, 58, 72, 22);
    place(BtGet, 440, 82, 72, 22);
    place(CBWithRT, 518, 58, 90, 22);
    place(CBWrist, 518, 82, 90, 22);

    // Tool area
    edit(edToolC, "edToolC", QStringLiteral("Probe1"), QStringLiteral("Change tool name"));
    button(BtCopyProbe, "BtCopyProbe", QStringLiteral(">>"));
    edit(EdToolF, "EdToolF", QStringLiteral("ProbeN"), QStringLiteral("Find tool name"));
    button(BtChange, "BtChange", QStringLiteral("ChangeTool()"));
    button(BtAltChange, "BtAltChange", QStringLiteral("Alt. Ch.Tool()"));
    button(BtFind, "BtFind", QStringLiteral("FindTool()"));
    button(BtGCTA, "BtGCTA", QStringLiteral("GetCTA()"));
    place(edToolC, 630, 8, 130, 24);
    place(BtCopyProbe, 764, 8, 32, 24);
    place(EdToolF, 800, 8, 130, 24);
    place(BtChange, 630, 36, 130, 24);
    place(BtAltChange, 800, 36, 130, 24);
    place(BtFind, 936, 8, 110, 24);
    place(BtGCTA, 936, 36, 110, 24);

    // Command list area
    lbFiles = new QListWidget(this);
    lbFiles->setObjectName(QStringLiteral("lbFiles"));
    lbFiles->setAccessibleName(QStringLiteral("Recent command files"));
    setTextColor(lbFiles, QColor(0, 128, 0));
    enlargeFont(lbFiles, 11);
    lbFiles->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    button(BtLoad, "BtLoad", QStringLiteral("Load Cmdfile"));
    button(BtSave, "BtSave", QStringLiteral("Save"));
    button(BtRestore, "BtRestore", QStringLiteral("Restore"));
    button(BtDel, "BtDel", QStringLiteral("Del"));
    button(BtUp, "BtUp", QStringLiteral("Up"));
    button(BtDwn, "BtDwn", QStringLiteral("Down"));
    LbCommands = new QListWidget(this);
    LbCommands->setObjectName(QStringLiteral("LbCommands"));
    LbCommands->setAccessibleName(QStringLiteral("Command list"));
    LbCommands->setSelectionMode(QAbstractItemView::SingleSelection);
    LbCommands->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Rows of a long command file are laid out a batch at a time between events.
    LbCommands->setLayoutMode(QListView::Batched);
    LbCommands->setBatchSize(2000);
    LbCommands->addItems({QStringLiteral("GetProp(Tool.AvrRadius())"), QStringLiteral("GetProp(Tool.Name())"),
                          QStringLiteral("Get(Tool.A(),Tool.B())"), QStringLiteral("Home()"),
                          QStringLiteral("GetProp(Tool.GoToPar.Speed())")});
    button(BtSendNext, "BtSendNext", QStringLiteral("Send + Next"));
    button(BtSendMemo, "BtSendMemo", QStringLiteral("Send"));
    check(cbMultiple, "cbMultiple", QStringLiteral("Mult Commands"));
    button(BtCopy, "BtCopy", QStringLiteral("Copy"));
    button(BtSend, "BtSend", QStringLiteral("Send this Cmd"));
    enlargeFont(BtSend, 14, true);
    button(BtAddToMemo, "BtAddToMemo", QStringLiteral("Add To Memo"));
    edit(EdTag, "EdTag", QStringLiteral("100"), QStringLiteral("Next tag"));
    edit(EdCurrentCommand, "EdCurrentCommand", QStringLiteral("EnableUser()"),
         QStringLiteral("Current command"));
    enlargeFont(EdCurrentCommand, 11);

    place(lbFiles, 770, 66, 342, 80, MoveX);
    place(BtLoad, 770, 150, 110, 24, MoveX);
    place(BtSave, 884, 150, 70, 24, MoveX);
    place(BtRestore, 958, 150, 80, 24, MoveX);
    place(LbCommands, 770, 180, 342, 330, MoveX | GrowH);
    place(BtDel, 770, 514, 60, 24, MoveX | MoveY);
    place(BtUp, 834, 514, 60, 24, MoveX | MoveY);
    place(BtDwn, 898, 514, 60, 24, MoveX | MoveY);
    place(BtSendNext, 770, 542, 110, 24, MoveX | MoveY);
    place(BtSendMemo, 884, 542, 70, 24, MoveX | MoveY);
    place(cbMultiple, 960, 542, 130, 24, MoveX | MoveY);
    place(BtCopy, 770, 570, 70, 24, MoveX | MoveY);
    place(BtAddToMemo, 844, 570, 110, 24, MoveX | MoveY);
    place(EdTag, 1030, 570, 82, 24, MoveX | MoveY);
    place(BtSend, 770, 602, 342, 40, MoveX | MoveY);
    place(EdCurrentCommand, 8, 680, 1104, 28, MoveY | GrowW);

    // Log area
    MemoLog = new TrafficLogView(this);
    MemoLog->setObjectName(QStringLiteral("MemoLog"));
    MemoLog->setAccessibleName(QStringLiteral("Traffic log"));
    connect(MemoLog, &TrafficLogView::spillFailed, this, [this](const QString &reason) {
        LogEvent(
            QStringLiteral("---------- Log spill file could not be written: %1; the oldest lines are dropped")
                .arg(reason));
    });
    button(BtClearLog, "BtClearLog", QStringLiteral("Clear Log"));
    edit(EdExclude, "EdExclude", QStringLiteral("E9003 #"), QStringLiteral("Exclude text"));
    check(CbExclude, "CbExclude", QStringLiteral("Exclude from Log"));
    CbExclude->setAutoFillBackground(true);
    button(btMetrolog, "btMetrolog", QStringLiteral("Met"));
    button(btPCDMIS, "btPCDMIS", QStringLiteral("Pcd"));
    check(CbFreeze, "CbFreeze", QStringLiteral("Freeze"));
    CbFreeze->setAutoFillBackground(true);
    button(BtSaveLog, "BtSaveLog", QStringLiteral("Save Log"));
    place(MemoLog, 8, logTopOriginal, 754, logHeightOriginal, GrowW | GrowH);
    place(BtClearLog, 8, 592, 80, 24, MoveY);
    place(EdExclude, 94, 592, 120, 24, MoveY);
    place(CbExclude, 218, 592, 130, 24, MoveY);
    place(btMetrolog, 352, 592, 40, 24, MoveY);
    place(btPCDMIS, 396, 592, 40, 24, MoveY);
    place(CbFreeze, 444, 592, 70, 24, MoveY);
    place(BtSaveLog, 520, 592, 80, 24, MoveY);

    // Simulator area
    check(cbError, "cbError", QStringLiteral("No Touch on PtMeas"));
    check(cbToolError, "cbToolError", QStringLiteral("Tool error on PtMeas"));
    check(cbIncrementTool, "cbIncrementTool", QStringLiteral("Post Increment Tool Id"), true);
    check(cbCircularMove, "cbCircularMove", QStringLiteral(" replace CZPosSph"));
    check(cbModusFilter, "cbModusFilter", QStringLiteral("Modus Filter"), true);
    edit(EdNewTool, "EdNewTool", QString(), QStringLiteral("New tool name"));
    EdNewTool->setEnabled(false);
    button(BtNewTool, "BtNewTool", QStringLiteral("NewTool"));
    button(BtF1, "BtF1", QStringLiteral("F1"));
    button(BtF2, "BtF2", QStringLiteral("F2"));
    button(BtF3, "BtF3", QStringLiteral("F3"));
    button(BtF4, "BtF4", QStringLiteral("F4"));
    button(btFakeClose, "btFakeClose", QStringLiteral("% Cmd"));
    button(btFakeXon, "btFakeXon", QStringLiteral("&& Cmd"));
    button(btError9, "btError9", QStringLiteral("Error 9"));
    place(cbError, 8, 116, 150, 22);
    place(cbToolError, 160, 116, 160, 22);
    place(cbIncrementTool, 322, 116, 170, 22);
    place(cbCircularMove, 494, 116, 140, 22);
    place(cbModusFilter, 636, 116, 120, 22);
    place(EdNewTool, 8, 142, 120, 24);
    place(BtNewTool, 132, 142, 70, 24);
    place(BtF1, 206, 142, 40, 24);
    place(BtF2, 250, 142, 40, 24);
    place(BtF3, 294, 142, 40, 24);
    place(BtF4, 338, 142, 40, 24);
    place(btFakeClose, 384, 142, 60, 24);
    place(btFakeXon, 448, 142, 60, 24);
    place(btError9, 512, 142, 70, 24);

    // Non-visual members
    BuildServerLink();
    BuildRelaySession();
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(200);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(50);
    TimerCTS = new QTimer(this);
    TimerCTS->setObjectName(QStringLiteral("TimerCTS"));
    TimerCTS->setInterval(20000);
    endSessionTimer = new QTimer(this);
    endSessionTimer->setSingleShot(true);
    listenPortRestore = new QTimer(this);
    listenPortRestore->setSingleShot(true);
    buildInspector();
    WireTraffic();
}

void TForm1::wireHandlers()
{
    auto on = [this](QAbstractButton *b, void (TForm1::*handler)()) {
        connect(b, &QAbstractButton::clicked, this,
                [this, handler] { RunHandler([this, handler] { (this->*handler)(); }); });
    };
    on(BtConnect, &TForm1::BtConnectClick);
    on(CBStay, &TForm1::CBStayClick);
    on(BtStart, &TForm1::BtStartClick);
    on(BtClear, &TForm1::BtClearClick);
    on(BtEnum, &TForm1::BtEnumClick);
    on(BtEnableUser, &TForm1::BtEnableUserClick);
    on(BTAbortE, &TForm1::BTAbortEClick);
    on(BtGet, &TForm1::BtGetClick);
    on(BtCopyProbe, &TForm1::BtCopyProbeClick);
    on(BtChange, &TForm1::BtChangeClick);
    on(BtAltChange, &TForm1::BBtChange2Click);
    on(BtFind, &TForm1::BtFindClick);
    on(BtGCTA, &TForm1::BtCTAClick);
    on(BtLoad, &TForm1::BtLoadClick);
    on(BtSave, &TForm1::BtSaveClick);
    on(BtRestore, &TForm1::BtRestoreClick);
    on(BtDel, &TForm1::BtDelClick);
    on(BtUp, &TForm1::BtUpClick);
    on(BtDwn, &TForm1::BtDwnClick);
    on(BtSendNext, &TForm1::BtSendNextClick);
    on(BtSendMemo, &TForm1::BtSendMemoClick);
    on(cbMultiple, &TForm1::cbMultipleClick);
    on(BtCopy, &TForm1::BtCopyClick);
    on(BtSend, &TForm1::BtSendClick);
    on(BtAddToMemo, &TForm1::BtAddToMemoClick);
    on(BtClearLog, &TForm1::BtClearLogClick);
    on(btMetrolog, &TForm1::btMetrologClick);
    on(btPCDMIS, &TForm1::btPCDMISClick);
    on(CbFreeze, &TForm1::CbFreezeClick);
    on(BtSaveLog, &TForm1::BtSaveLogClick);
    on(cbError, &TForm1::cbErrorClick);
    on(cbToolError, &TForm1::cbToolErrorClick);
    on(BtNewTool, &TForm1::BtNewToolClick);
    on(BtF1, &TForm1::BtF1Click);
    on(BtF2, &TForm1::BtF2Click);
    on(BtF3, &TForm1::BtF3Click);
    on(BtF4, &TForm1::BtF4Click);
    on(btFakeClose, &TForm1::btFakeCloseClick);
    on(btFakeXon, &TForm1::FakeXonClick);
    on(btError9, &TForm1::BtError9Click);

    connect(Timer1, &QTimer::timeout, this, [this] { RunHandler([this] { Timer1Timer(); }); });
    connect(Timer2, &QTimer::timeout, this, [this] { RunHandler([this] { Timer2Timer(); }); });
    connect(TimerCTS, &QTimer::timeout, this, [this] { RunHandler([this] { TimerCTSTimer(); }); });
    connect(endSessionTimer, &QTimer::timeout, this, [this] { RunHandler([this] { FinishDisconnect(); }); });
    connect(MemoLog, &TrafficLogView::doubleClicked, this,
            [this] { RunHandler([this] { MemoLogDblClick(); }); });
    connect(EdCurrentCommand, &QLineEdit::returnPressed, this,
            [this] { RunHandler([this] { EdCurrentCommandKeyPress(QLatin1Char('\r')); }); });
    connect(LbCommands, &QListWidget::clicked, this, [this] { RunHandler([this] { LbCommandsClick(); }); });
    connect(lbFiles, &QListWidget::clicked, this, [this] { RunHandler([this] { lbFilesClick(); }); });
    connect(lbFiles, &QListWidget::doubleClicked, this,
            [this] { RunHandler([this] { lbFilesDblClick(); }); });
    LbCommands->viewport()->installEventFilter(this);
    LbCommands->installEventFilter(this);
    edListenPort->installEventFilter(this);
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == LbCommands->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // Let the list make the row under the pointer current first.
        QMetaObject::invokeMethod(
            this, [this] { RunHandler([this] { LbCommandsDblClick(); }); }, Qt::QueuedConnection);
    } else if (watched == LbCommands && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            RunHandler([this] { LbCommandsKeyPress(QLatin1Char('\r')); });
            return true;
        }
        if (key->key() == Qt::Key_Delete) {
            RunHandler([this] { LbCommandsKeyDown(VirtualKeyDelete); });
            return true;
        }
        if (key->key() == Qt::Key_Insert) {
            RunHandler([this] { LbCommandsKeyDown(VirtualKeyInsert); });
            return true;
        }
    } else if (watched == edListenPort && event->type() == QEvent::FocusOut) {
        // Leaving the field, not the window: switching to another program
        // or opening a menu doesn't apply the port.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            RunHandler([this] { edListenPortExit(); });
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::relayout()
{
    const int dx = width() - DesignWidth;
    const int dy = height() - DesignHeight;
    for (const Placement &p : placements) {
        QRect r = p.design;
        if (p.anchors & MoveX)
            r.translate(dx, 0);
        if (p.anchors & MoveY)
            r.translate(0, dy);
        if (p.anchors & GrowW)
            r.setWidth(r.width() + dx);
        if (p.anchors & GrowH)
            r.setHeight(r.height() + dy);
        p.widget->setGeometry(r);
    }
}

void TForm1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void TForm1::mousePressEvent(QMouseEvent *event)
{
    QWidget::mousePressEvent(event);
    if (event->button() == Qt::LeftButton)
        RunHandler([this] { FormClick(); });
}

void TForm1::closeEvent(QCloseEvent *event)
{
    RunHandler([this] { FormClose(); });
    event->accept();
}

// ---------------------------------------------------------------- start-up

void TForm1::FormCreate()
{
    raise();
    defaultCommands.clear();
    operatorTags.clear();
    logTopOriginal = 112;
    logHeightOriginal = 473;
    RunHandler([this] { LoadSettings(); });
    serverConnected = false;
    sessionOpen = false;
    UpdateConnectionControls();
    UpdateSessionControls();
    relayConnection = nullptr;
    RunHandler([this] { StartRelayListener(); });
    clearToSend = false;
    ApplyAdvancedLayout();
}

void TForm1::FormClose()
{
    if (closed)
        return;
    closed = true;
    EndMultiSend(QString());
    // Each step on its own: a failing one must not keep the settings unwritten.
    RunHandler([this] { StopRelayListener(); });
    if (!listAppended)
        RunHandler([this] { BtRestoreClick(); });
    RunHandler([this] { SaveSettings(); });
    defaultCommands.clear();
    operatorTags.clear();
}

void TForm1::FormClick()
{
    if (IsShiftDown() && IsCtrlDown()) {
        advancedMode = !advancedMode;
        ApplyAdvancedLayout();
    }
    SetCommandIndex(-1);
    lbFiles->selectionModel()->clear();
    update();
    if (!firstClickDone) {
        firstClickDone = true;
        showMinimized();
        showNormal();
    }
}

void TForm1::CBStayClick()
{
    const QRect g = geometry();
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, CBStay->isChecked());
    setGeometry(g);
    if (wasVisible)
        show();
}

void TForm1::UpdateConnectionControls()
{
    BtConnect->setText(serverConnected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    BtStart->setEnabled(serverConnected);
}

void TForm1::UpdateSessionControls()
{
    BtStart->setText(sessionOpen ? QStringLiteral("EndSession()") : QStringLiteral("StartSession()"));
    for (QWidget *w :
         {static_cast<QWidget *>(BtSend), static_cast<QWidget *>(BtSendMemo), static_cast<QWidget *>(BtClear),
          static_cast<QWidget *>(BtEnum), static_cast<QWidget *>(BtGet), static_cast<QWidget *>(BtChange),
          static_cast<QWidget *>(BtFind), static_cast<QWidget *>(BtGCTA), static_cast<QWidget *>(BtAltChange),
          static_cast<QWidget *>(BtEnableUser), static_cast<QWidget *>(BTAbortE),
          static_cast<QWidget *>(BtNewTool), static_cast<QWidget *>(EdNewTool)})
        w->setEnabled(sessionOpen);
    BtSendNext->setEnabled(sessionOpen && !cbMultiple->isChecked());
}

void TForm1::ApplyAdvancedLayout()
{
    for (QWidget *w :
         {static_cast<QWidget *>(BtF1), static_cast<QWidget *>(BtF2), static_cast<QWidget *>(BtF3),
          static_cast<QWidget *>(BtF4), static_cast<QWidget *>(cbError), static_cast<QWidget *>(cbToolError),
          static_cast<QWidget *>(EdNewTool), static_cast<QWidget *>(BtNewTool),
          static_cast<QWidget *>(cbIncrementTool), static_cast<QWidget *>(edListenPort),
          static_cast<QWidget *>(btFakeClose), static_cast<QWidget *>(btFakeXon),
          static_cast<QWidget *>(btError9), static_cast<QWidget *>(cbCircularMove),
          static_cast<QWidget *>(cbModusFilter)})
        w->setVisible(advancedMode);
    for (Placement &p : placements) {
        if (p.widget != MemoLog)
            continue;
        if (advancedMode) {
            p.design.setTop(170);
            p.design.setHeight(logTopOriginal + logHeightOriginal - 170);
        } else {
            p.design.setTop(logTopOriginal);
            p.design.setHeight(logHeightOriginal);
        }
    }
    relayout();
    update();
}

void TForm1::ShowRelayStatus()
{
    LaServerStatus->setText(relayStatusText);
}

bool TForm1::IsCtrlDown() const
{
    return hooks.modifiers() & Qt::ControlModifier;
}
bool TForm1::IsShiftDown() const
{
    return hooks.modifiers() & Qt::ShiftModifier;
}
bool TForm1::IsAltDown() const
{
    return hooks.modifiers() & Qt::AltModifier;
}

void TForm1::RunHandler(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const HandlerError &e) {
        ShowError(e.message);
    }
}

void TForm1::ShowError(const QString &text)
{
    FlushDeferredTraffic(); // what led up to the message is in the log when it shows
    QString shown = text;
    if (!shown.endsWith(QLatin1Char('.')))
        shown += QLatin1Char('.');
    hooks.message(QMessageBox::Critical, QStringLiteral("Torvane"), shown);
}
