#pragma once
// The inspector's Replay page: a recording (a file, or the traffic log as it
// stands) plays the server towards the relay client, or plays the client
// against the server, and the diff shows what the other side did
// differently. The page drives the same replay objects as torvane-replay;
// the main window hands it the sockets' lines and writes what it gives out
// (ReplayHost), so that every line is logged and checked as usual.

#include "app/hooks.h"
#include "replay/capturesource.h"
#include "replay/clientreplay.h"
#include "replay/faults.h"
#include "replay/serverreplay.h"

#include <QByteArray>
#include <QWidget>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class ProfileFile;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableWidget;
class QTimer;

namespace inspect {

// The page's choices, kept in the "Inspector" section.
struct ReplaySettings {
    bool present = false;
    QString recording; // the file; empty: none chosen yet
    bool fromLog = false; // the traffic log instead of the file
    int leg = 0; // 0 auto, 1 operator, 2 relay
    bool playClient = false; // the client against the server; else the server to the relay client
    bool matchAny = false;
    double tolerance = 0;
    double speed = 1;
    int onMiss = 0; // 0 error, 1 ack, 2 close
    QString faults;
};

void ReadReplaySettings(const ProfileFile &ini, ReplaySettings &out);
void WriteReplaySettings(ProfileFile &ini, const ReplaySettings &in);

// What the main window does for the page.
struct ReplayHost {
    FormHooks hooks; // message, confirm, openFileName
    // The traffic log: its lines, and showing one.
    std::function<qint64()> logLineCount;
    std::function<QByteArray(qint64)> logLine;
    std::function<void(int)> showLogLine;
    // The relay client: whether one is there, a line to it logged as the
    // program's own, its drop, and the relay port.
    std::function<bool()> relayClientConnected;
    std::function<void(const QByteArray &)> writeRelayClient;
    std::function<void(const QByteArray &)> logRelayClientLine; // a command it sent, logged as usual
    std::function<void()> dropRelayClient;
    std::function<quint16()> relayPort;
    // The server link: whether it stands, and a command sent as the
    // operator's (logged, paced and checked like a typed one).
    std::function<bool()> serverConnected;
    std::function<void(const QByteArray &)> sendToServer;
};

class ReplayPage : public QWidget {
    Q_OBJECT
public:
    explicit ReplayPage(QWidget *parent = nullptr);
    ~ReplayPage() override;

    void setHost(ReplayHost host);
    void applySettings(const ReplaySettings &settings);
    ReplaySettings settings() const;

    // The relay client's commands go to the replay, not to the server.
    bool serving() const { return server != nullptr; }
    // The server's lines go to the replay as well.
    bool playing() const { return client != nullptr; }
    bool running() const { return serving() || playing() || scanTimer; }

    // From the main window.
    void relayClientLine(const QByteArray &line);
    void relayClientLeft();
    void serverLine(const QByteArray &line);
    void serverLinkDropped();
    // A line the log took: leg and direction as published, its log line.
    void logged(bool relayLeg, bool toServer, const QByteArray &line, qint64 logLine);

    // Starts with the choices on the page; false (and a message) when it
    // cannot. Client replay may first ask about motion commands.
    bool start();
    void stop();

    // The last replay's diff (empty before the first).
    const replay::Diff &diff() const { return lastDiff; }

    // Controls, public for the tests as the main window's are.
    QRadioButton *fileButton = nullptr;
    QRadioButton *logButton = nullptr;
    QLineEdit *fileEdit = nullptr;
    QPushButton *browseButton = nullptr;
    QComboBox *legBox = nullptr;
    QComboBox *modeBox = nullptr;
    QComboBox *matchBox = nullptr;
    QDoubleSpinBox *toleranceBox = nullptr;
    QDoubleSpinBox *speedBox = nullptr;
    QComboBox *missBox = nullptr;
    QLineEdit *faultsEdit = nullptr;
    QPushButton *faultsButton = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *stopButton = nullptr;
    QLabel *progressLabel = nullptr;
    QTableWidget *diffTable = nullptr;

Q_SIGNALS:
    // The replay ended; its diff is in the table.
    void finished();

private:
    std::unique_ptr<replay::Recording> openRecording(QString *error);
    void startServing();
    void startPlaying();
    void scanSlice();
    void progress(qint64 done, qint64 of);
    void done();
    void fillTable();
    void updateControls();
    void tell(const QString &text);
    qint64 expectLogged(const QByteArray &line);

    ReplayHost host;
    ReplaySettings loaded;
    std::unique_ptr<replay::Recording> recording;
    std::unique_ptr<replay::FaultScript> faults;
    replay::ServerReplay *server = nullptr;
    replay::ClientReplay *client = nullptr;
    // The count of the transactions (and the motion commands among them),
    // in slices.
    std::unique_ptr<replay::Recording> scanning;
    QTimer *scanTimer = nullptr;
    qint64 scanned = 0, motion = 0;
    qint64 total = -1; // recorded transactions, once counted
    bool servedClient = false; // a relay client was served in this replay
    // Replayed commands waiting for their log line, and the log lines by
    // their position in the replay.
    std::deque<std::pair<QByteArray, qint64>> awaitingLog;
    bool awaitRelayLeg = false;
    std::vector<qint64> logLineAt;
    qint64 positions = 0;
    replay::Diff lastDiff;
    QString folder;
};

} // namespace inspect
