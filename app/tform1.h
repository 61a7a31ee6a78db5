#pragma once
// The main window. It owns every control, both network endpoints, the timers
// and the shared state; its methods are split by subsystem:
//   app/tform1.cpp        window, start-up, close, layout, modifier queries
//   app/settings.cpp      settings file
//   link/link.cpp         server connection and incoming lines
//   link/dispatch.cpp     tagging, dispatch, acknowledge pacing
//   relay/relay.cpp       relay listener and client session
//   sim/sim.cpp           made-up replies, events and injected errors
//   commands/*.cpp        command list and command files
//   log/trafficlog.cpp    traffic log, freeze, exclude filter
//   log/export.cpp        log export and pick-up
//   shortcuts/*.cpp       command shortcut buttons
//   inspect/inspectlink.cpp  live inspection: feeding it, its window (F9)
// Members are public: the handlers are the window's interface, and the tests
// drive the real window through them.
//
// Names that come from the window's design:
//   MemoLog              the traffic log (a TrafficLogView)
//   IdTCPClient1         the server link (a ServerLink: its socket, reader
//                        and writer); up while serverConnected
//   IdTCPServer1         the relay listener and its one client's session (a
//                        RelaySession); IdTCPServer1Connect / Execute /
//                        Disconnect handle a relay client's arrival, each of
//                        its lines, and its leaving
//   Timer1, Timer2       the red flash of the exclude and freeze switches
//   TimerCTS             the acknowledge time-out
//   "Add To Memo"        BtAddToMemo: puts the typed command into the command
//                        list (the "memo" of the design is that list)
//   BBtChange2Click      BtAltChange's click: ChangeTool with the tool in EdToolF
//   BtCTAClick           BtGCTA's click: GetChangeToolAction for EdToolF
//
// The way a line travels and the one rule for re-entrancy: docs/architecture.md.

#include "app/hooks.h"
#include "inspect/inspectorsettings.h"
#include "link/serverlink.h"
#include "link/traffic.h"
#include "relay/relaysession.h"

#include <QHostAddress>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

class QCheckBox;
class QHostAddress;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTcpSocket;
class QTimer;
class TrafficLogView;
class LogSave;
class ProfileFile;

namespace check {
enum class Leg : quint8;
enum class Direction : quint8;
} // namespace check
namespace inspect {
class LiveInspector;
class InspectorWindow;
class ReplayPage;
struct ReplaySettings;
} // namespace inspect

// An error raised by a handler: shown in an error message box, ends the handler.
class HandlerError : public std::runtime_error {
public:
    explicit HandlerError(const QString &text) : std::runtime_error(text.toStdString()), message(text) { }
    QString message;
};

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget *parent = nullptr, FormHooks hooks = {});
    ~TForm1() override;

    // ---- Controls: connection and status area
    QLineEdit *EdHost = nullptr;
    QLineEdit *EdPort = nullptr;
    QLineEdit *edListenPort = nullptr;
    QPushButton *BtConnect = nullptr;
    QLabel *LaStatus = nullptr;
    QLabel *LaServerStatus = nullptr;
    QCheckBox *CBStay = nullptr;
    QPushButton *BtStart = nullptr;
    QPushButton *BtClear = nullptr;
    QPushButton *BtEnum = nullptr;
    QPushButton *BtEnableUser = nullptr;
    QPushButton *BTAbortE = nullptr;
    QPushButton *BtGet = nullptr;
    QCheckBox *CBWithRT = nullptr;
    QCheckBox *CBWrist = nullptr;
    // ---- Tool area
    QLineEdit *edToolC = nullptr;
    QPushButton *BtCopyProbe = nullptr;
    QLineEdit *EdToolF = nullptr;
    QPushButton *BtChange = nullptr;
    QPushButton *BtAltChange = nullptr;
    QPushButton *BtFind = nullptr;
    QPushButton *BtGCTA = nullptr;
    // ---- Command list area
    QListWidget *lbFiles = nullptr;
    QPushButton *BtLoad = nullptr;
    QPushButton *BtSave = nullptr;
    QPushButton *BtRestore = nullptr;
    QPushButton *BtDel = nullptr;
    QPushButton *BtUp = nullptr;
    QPushButton *BtDwn = nullptr;
    QListWidget *LbCommands = nullptr;
    QPushButton *BtSendNext = nullptr;
    QPushButton *BtSendMemo = nullptr;
    QCheckBox *cbMultiple = nullptr;
    QPushButton *BtCopy = nullptr;
    QPushButton *BtSend = nullptr;
    QPushButton *BtAddToMemo = nullptr;
    QLineEdit *EdTag = nullptr;
    QLineEdit *EdCurrentCommand = nullptr;
    // ---- Log area
    TrafficLogView *MemoLog = nullptr;
    QPushButton *BtClearLog = nullptr;
    QLineEdit *EdExclude = nullptr;
    QCheckBox *CbExclude = nullptr;
    QPushButton *btMetrolog = nullptr;
    QPushButton *btPCDMIS = nullptr;
    QCheckBox *CbFreeze = nullptr;
    QPushButton *BtSaveLog = nullptr;
    QPushButton *BtInspect = nullptr; // opens the inspector (F9 does too)
    // ---- Simulator area (advanced mode)
    QCheckBox *cbError = nullptr;
    QCheckBox *cbToolError = nullptr;
    QCheckBox *cbIncrementTool = nullptr;
    QCheckBox *cbCircularMove = nullptr;
    QCheckBox *cbModusFilter = nullptr;
    QLineEdit *EdNewTool = nullptr;
    QPushButton *BtNewTool = nullptr;
    QPushButton *BtF1 = nullptr;
    QPushButton *BtF2 = nullptr;
    QPushButton *BtF3 = nullptr;
    QPushButton *BtF4 = nullptr;
    QPushButton *btFakeClose = nullptr;
    QPushButton *btFakeXon = nullptr;
    QPushButton *btError9 = nullptr;
    // ---- Non-visual members
    ServerLink *IdTCPClient1 = nullptr; // the server link
    RelaySession *IdTCPServer1 = nullptr; // the relay listener and session
    quint16 listenPort = 1295; // the listener's port
    int listenPortRestoreMs = 800; // edListenPortExit's status display
    int relayReplyWaitMs = RelaySession::DefaultReplyWaitMs; // replies to a client that ended its input
    QTimer *Timer1 = nullptr; // exclude flash, 200 ms
    QTimer *Timer2 = nullptr; // freeze flash, 50 ms
    QTimer *TimerCTS = nullptr; // acknowledge time-out, 20000 ms
    QTimer *endSessionTimer = nullptr; // the server's moment to end the session
    QTimer *listenPortRestore = nullptr; // edListenPortExit's status display

    // ---- Shared state
    bool serverConnected = false;
    bool sessionOpen = false;
    bool clearToSend = false;
    bool sendTimedOut = false;
    bool noTimeout = true;
    bool noTimeStamp = false;
    bool advancedMode = false;
    bool firstClickDone = false;
    bool listLoadedFromFile = false;
    bool listAppended = false;
    QString lineClipboard;
    bool logFrozen = false;
    QByteArray interceptTag;
    // The hand-over slot of the server's lines: the line ProcessServerLine
    // is handling. Nothing reads it back; the line is handed over as the
    // call's argument.
    QByteArray lastReceivedLine;
    QPointer<QTcpSocket> relayConnection;
    QString relayStatusText;
    bool serverWasConnected = false;
    QByteArrayList operatorTags;
    QStringList defaultCommands;
    int logTopOriginal = 112;
    int logHeightOriginal = 473;
    std::unique_ptr<ProfileFile> settingsFile;
    // List sections whose Count could not be read: written back as the file
    // has them unless their list changed (app/settings.cpp).
    bool keepCommandsSection = false;
    bool keepFilesSection = false;
    QStringList filesAtStart;
    // "RelayServer"/"Bind" as read, and the address the listener binds to.
    QString relayBind;
    QHostAddress relayBindAddress{QHostAddress::AnyIPv4};

    FormHooks hooks;

    // Every line that passes a socket, on either leg: the log and the
    // inspector listen (log/trafficlog.cpp, inspect/inspectlink.cpp).
    TrafficTap traffic;

    // ---- Window (app/tform1.cpp)
    void FormCreate();
    void FormClose();
    void FormClick();
    void CBStayClick();
    void UpdateConnectionControls();
    void UpdateSessionControls();
    void ApplyAdvancedLayout();
    void ShowRelayStatus();
    bool IsCtrlDown() const;
    bool IsShiftDown() const;
    bool IsAltDown() const;
    // Runs one handler; a HandlerError it raises is shown and ends it.
    void RunHandler(const std::function<void()> &handler);
    void ShowError(const QString &text);

    // ---- Settings (app/settings.cpp)
    void LoadSettings();
    void SaveSettings();

    // ---- Server link (link/link.cpp)
    void BtConnectClick();
    void IdTCPClient1Connected();
    void IdTCPClient1Disconnected();
    void IdTCPClient1Status(const QString &text);
    // Protocol lines are 8-bit bytes from the socket to the log, the
    // checker and the peer; the QString forms are for text typed or made
    // up in the window (Latin-1).
    void ProcessServerLine(const QByteArray &line);
    void ProcessServerLine(const QString &line) { ProcessServerLine(line.toLatin1()); }
    // `own`: the line was rewritten on its way.
    void WriteServerLine(const QByteArray &line, bool own = false, bool relayed = false);
    // A connect attempt is under way (look-up or connect).
    bool LinkSettling() const;

    // ---- Outgoing commands (link/dispatch.cpp)
    void BtSendClick();
    void SendToIpp(const QString &command);
    QString AddTag(const QString &command);
    void DispatchCommand(QByteArray line, bool fromRelay);
    void DispatchCommand(const QString &line, bool fromRelay) { DispatchCommand(line.toLatin1(), fromRelay); }
    void NoteAcknowledge(QByteArrayView line);
    void TimerCTSTimer();

    // ---- Relay (relay/relay.cpp)
    void StartRelayListener();
    void StopRelayListener();
    void IdTCPServer1Connect();
    void IdTCPServer1Execute(const QByteArray &line);
    void IdTCPServer1Disconnect();
    // A closed relay client waits for its open commands' replies: said in the status and the log.
    void ShowRelayReplyWait();
    void edListenPortExit();
    bool RelayClientConnected() const;
    // The relay client has ended its input and waits for its last replies.
    bool RelayClientFinishing() const { return IdTCPServer1->finishing(); }
    // Writes a line to the relay client and publishes it: `marker` is its
    // log line's, `own` says whether this program made it up or altered it.
    void WriteRelayLine(const QByteArray &line, QLatin1String marker, bool own);
    bool RouteToRelayClient(const QByteArray &line, bool altered);

    // ---- Simulation (sim/sim.cpp)
    void SendReplyToClient(const QString &text);
    void DecrementTag();
    void SendEventToClient(const QString &text, const QString &type);
    void ReplyEmptyTransaction(const QString &tag);
    void ReplyDataTransaction(const QString &tag, const QString &data);
    void ReplyProbeType(const QString &tag, const QString &command);
    void BtF1Click();
    void BtF2Click();
    void BtF3Click();
    void BtF4Click();
    void BtError9Click();
    void btFakeCloseClick();
    void FakeXonClick();
    void BtNewToolClick();
    void cbErrorClick();
    void cbToolErrorClick();
    // Commands the simulator answers in the server's place.
    enum class Interception { None, ProbeType, Empty };
    // `rewritten` (may be null) is set when the line was rewritten.
    Interception InterceptCommand(QByteArray &line, bool *rewritten = nullptr);
    void AnswerInterception(Interception interception, const QByteArray &line, bool fromRelay);
    bool InjectFault(QByteArray &line);

    // ---- Command list (commands/commandlist.cpp)
    void BtSendMemoClick();
    void BtSendNextClick();
    void BtCopyClick();
    void BtAddToMemoClick();
    void BtDelClick();
    void BtUpClick();
    void BtDwnClick();
    void cbMultipleClick();
    void InsertClipboardLine();
    void LbCommandsClick();
    void lbFilesClick();
    void LbCommandsDblClick();
    void LbCommandsKeyDown(int virtualKey);
    void LbCommandsKeyPress(QChar key);
    // The current command (-1 for none) and making a row current, by the
    // rules of the selection mode; the recent-files list's current entry.
    int CommandIndex() const;
    void SetCommandIndex(int index);
    int FileIndex() const;
    // The multi-send: the selected rows as they were at the start go out one
    // after another, each once the one before is acknowledged.
    void SendSelectedCommands();
    void AdvanceMultiSend();
    // Ends a running multi-send; a reason is logged with what was left.
    void EndMultiSend(const QString &reason);
    bool multiSendActive = false;
    QStringList multiSendRows;
    qsizetype multiSendNext = 0;

    // ---- Command files (commands/commandfiles.cpp)
    void BtLoadClick();
    void lbFilesDblClick();
    void BtSaveClick();
    void BtRestoreClick();

    // ---- Traffic log (log/trafficlog.cpp)
    QString TimeStampPrefix() const;
    void AppendLog(const QString &line);
    // The same without the waiting records done first: the line's index, or
    // -1 when freeze kept it out.
    qint64 AppendLogNow(const QString &line);
    qint64 AppendLogNow(QByteArrayView line);
    void LogEvent(const QString &line); // event lines: past freeze and filter
    bool PassesExcludeFilter(const QString &line);
    // A line that was not on the wire (a command the simulator answered in
    // the window): logged with its marker, seen by nobody else.
    void LogWithMarker(const QByteArray &line, QLatin1String marker);
    void LogWithMarker(const QString &line, QLatin1String marker) { LogWithMarker(line.toLatin1(), marker); }
    // A line that passed a socket (or was kept in the window, `onWire`
    // false): the traffic tap's record of it. While a burst of lines is
    // handled, the records wait, in order, until the burst has been written
    // to the other side (the tap is held): time stamps, log appends and
    // checking then don't delay the forward. Anything else that logs, or
    // shows a message, has the waiting records done first.
    void Publish(check::Leg leg, check::Direction dir, const QByteArray &line, QLatin1String marker,
                 bool own = false, bool onWire = true);
    // A relay client's line as it passes the server's leg (see TrafficRecord::relayed).
    void PublishRelayed(check::Direction dir, const QByteArray &line, bool own = false);
    void PublishRecord(TrafficRecord record);
    void FlushDeferredTraffic() { traffic.flush(); }
    // The log's subscription to the tap: the record's log line, or -1.
    qint64 LogRecord(const TrafficRecord &record);
    QString heldTimeStamp; // a batch's shared stamp while it is logged, else null
    QByteArray heldStampBytes; // the same as bytes
    // While a received line is handled: how it ended on the wire, for the
    // records of it (see TrafficRecord::ending).
    LineSplitter::Ending receivedEnding = LineSplitter::Ending::CrLf;
    bool receivedLeadingCr = false;
    // Runs `handle` for a line `from` just read, with its ending known.
    template <typename F> void HandleReceived(const LineConnection *from, F &&handle)
    {
        receivedEnding = from->lineEnding();
        receivedLeadingCr = from->leadingCr();
        handle();
        receivedEnding = LineSplitter::Ending::CrLf;
        receivedLeadingCr = false;
    }
    QByteArray logLineBuffer; // a log line being put together, kept from line to line
    void WireTraffic();
    void SetFrozen(bool on);
    void CbFreezeClick();
    void BtClearLogClick();
    void Timer1Timer();
    void Timer2Timer();
    void btPCDMISClick();
    void btMetrologClick();

    // ---- Log export and pick-up (log/export.cpp)
    void BtSaveLogClick();
    void MemoLogDblClick();
    QPointer<LogSave> logSave; // the Save Log under way, if any

    // ---- Live inspection (inspect/inspectlink.cpp)
    // Every record of the traffic tap that was on the wire goes to the
    // inspector, tied to the log line it got.
    void InspectRecord(const TrafficRecord &record);
    // A leg's connection came or went (after its event line is logged).
    void InspectReset(check::Leg leg);
    void ShowInspector();
    // Shows a traffic-log line: the cursor on it, scrolled into view.
    void ShowLogLine(int logLine);
    void LoadInspectorSettings(const ProfileFile &ini);
    void SaveInspectorSettings(ProfileFile &ini);
    inspect::LiveInspector *inspector = nullptr;
    inspect::InspectorWindow *inspectorWindow = nullptr; // made on first use
    inspect::InspectorSettings inspectorSettings;

    // ---- The inspector's Replay page (inspect/replaylink.cpp)
    // While it serves, the relay client's commands go to it and not to the
    // server; while it plays the client, the server's lines go to it too.
    void AttachReplayPage();
    bool ReplayServes() const;
    bool ReplayRelayLine(const QByteArray &line); // true: the replay took it
    void ReplayRelayLeft();
    void ReplayServerLine(const QByteArray &line);
    void ReplayServerGone();
    void LoadReplaySettings(const ProfileFile &ini);
    void SaveReplaySettings(ProfileFile &ini);
    QPointer<inspect::ReplayPage> replayPage;
    std::shared_ptr<inspect::ReplaySettings> replaySettings;

    // ---- Shortcuts (shortcuts/shortcuts.cpp)
    void BtStartClick();
    void BtClearClick();
    void BtEnumClick();
    void BtEnableUserClick();
    void BTAbortEClick();
    void BtGetClick();
    void BtChangeClick();
    void BBtChange2Click();
    void BtFindClick();
    void BtCTAClick();
    void BtCopyProbeClick();
    void EdCurrentCommandKeyPress(QChar key);

protected:
    void closeEvent(QCloseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void buildInspector();
    void wireHandlers();
    void relayout();
    void place(QWidget *w, int x, int y, int width, int height, int anchors = 0);

    struct Placement {
        QWidget *widget;
        QRect design;
        int anchors;
    };
    std::vector<Placement> placements;

    // Server link internals (link/link.cpp)
    void BuildServerLink();
    void FailConnect();
    void ServerLinkUp();
    void LinkSettled();
    void FinishDisconnect();
    void ServerInputEnded(LineConnection::EndReason reason);

    // Relay internals (relay/relay.cpp)
    void BuildRelaySession();
    void DropRelayClient() { IdTCPServer1->drop(); }
    // After a relayed burst the loop looks for the peer's answer before it
    // sleeps.
    QuickLook *quickLook = nullptr;
    // Sim internals (sim/sim.cpp): made-up replies to an operator command
    // are only logged, never written to the relay client.
    bool replyingToOperator = false;
    // The command being answered carries an event tag ("E" + digits): so do
    // the made-up replies.
    bool replyEventTag = false;
    void BorrowTag(const QString &tag);

    bool closed = false;
};
