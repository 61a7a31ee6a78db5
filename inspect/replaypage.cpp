#include "inspect/replaypage.h"

#include "app/profile.h"
#include "replay/match.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QAbstractItemView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

using namespace replay;

namespace inspect {

namespace {

const QString Section = QStringLiteral("Inspector");
// Recorded transactions looked at per turn of the event loop while counting
// the motion commands.
constexpr qint64 ScanSlice = 5000;
// The diff's columns.
enum Column { ColLine, ColKind, ColRecorded, ColReplayed, ColChange, ColumnCount };

QString Latin1(const QByteArray &b)
{
    return QString::fromLatin1(b);
}

double ReadNumber(const ProfileFile &ini, const QString &key, double def, double lo, double hi)
{
    bool ok = false;
    const double v = ini.readString(Section, key, QString()).toDouble(&ok);
    return ok && v >= lo && v <= hi ? v : def;
}

} // namespace

void ReadReplaySettings(const ProfileFile &ini, ReplaySettings &out)
{
    out = ReplaySettings();
    out.recording = ini.readString(Section, QStringLiteral("ReplayRecording"), QString());
    out.present = !out.recording.isEmpty()
        || !ini.readString(Section, QStringLiteral("ReplayMode"), QString()).isEmpty();
    if (!out.present)
        return;
    out.fromLog = ini.readInteger(Section, QStringLiteral("ReplayFromLog"), 0) != 0;
    out.leg = qBound(0, ini.readInteger(Section, QStringLiteral("ReplayLeg"), 0), 2);
    out.playClient =
        ini.readString(Section, QStringLiteral("ReplayMode"), QString()) == QLatin1String("client");
    out.matchAny = ini.readString(Section, QStringLiteral("ReplayMatch"), QString()) == QLatin1String("any");
    out.tolerance = ReadNumber(ini, QStringLiteral("ReplayTolerance"), 0, 0, 1e6);
    out.speed = ReadNumber(ini, QStringLiteral("ReplaySpeed"), 1, 0, 1000);
    out.onMiss = qBound(0, ini.readInteger(Section, QStringLiteral("ReplayOnMiss"), 0), 2);
    out.faults = ini.readString(Section, QStringLiteral("ReplayFaults"), QString());
}

void WriteReplaySettings(ProfileFile &ini, const ReplaySettings &in)
{
    ini.writeString(Section, QStringLiteral("ReplayRecording"), in.recording);
    ini.writeInteger(Section, QStringLiteral("ReplayFromLog"), in.fromLog ? 1 : 0);
    ini.writeInteger(Section, QStringLiteral("ReplayLeg"), in.leg);
    ini.writeString(Section, QStringLiteral("ReplayMode"),
                    in.playClient ? QStringLiteral("client") : QStringLiteral("serve"));
    ini.writeString(Section, QStringLiteral("ReplayMatch"),
                    in.matchAny ? QStringLiteral("any") : QStringLiteral("strict"));
    ini.writeString(Section, QStringLiteral("ReplayTolerance"), QString::number(in.tolerance, 'g', 10));
    ini.writeString(Section, QStringLiteral("ReplaySpeed"), QString::number(in.speed, 'g', 10));
    ini.writeInteger(Section, QStringLiteral("ReplayOnMiss"), in.onMiss);
    ini.writeString(Section, QStringLiteral("ReplayFaults"), in.faults);
}

ReplayPage::ReplayPage(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ReplayPage"));
    auto named = [](QWidget *w, const char *name, const char *accessible) {
        w->setObjectName(QLatin1String(name));
        w->setAccessibleName(QLatin1String(accessible));
    };

    fileButton = new QRadioButton(QStringLiteral("&File:"), this);
    named(fileButton, "replayFileButton", "Replay a recording file");
    logButton = new QRadioButton(QStringLiteral("The traffic &log"), this);
    named(logButton, "replayLogButton", "Replay the traffic log as it stands");
    fileButton->setChecked(true);
    fileEdit = new QLineEdit(this);
    named(fileEdit, "replayFileEdit", "Recording file");
    fileEdit->setPlaceholderText(
        QStringLiteral("A saved log, a tap log, a NIST log, a transcript or a capture"));
    browseButton = new QPushButton(QStringLiteral("&Browse..."), this);
    named(browseButton, "replayBrowseButton", "Choose a recording file");
    connect(browseButton, &QPushButton::clicked, this, [this] {
        if (!host.hooks.openFileName)
            return;
        SetNextDialogFolder(folder);
        const QString path = host.hooks.openFileName(
            QStringLiteral("Recording"),
            QStringLiteral("Logs and captures|*.txt;*.log;*.pcap;*.pcapng;*.cap|All files|*.*"), true);
        if (path.isEmpty())
            return;
        folder = QFileInfo(path).absolutePath();
        fileEdit->setText(path);
        fileButton->setChecked(true);
    });

    legBox = new QComboBox(this);
    named(legBox, "replayLegBox", "The recording's leg");
    legBox->addItem(QStringLiteral("The relay client's, when it has commands"));
    legBox->addItem(QStringLiteral("Operator"));
    legBox->addItem(QStringLiteral("Relay client"));
    modeBox = new QComboBox(this);
    named(modeBox, "replayModeBox", "What the recording plays");
    modeBox->addItem(QStringLiteral("The server, towards the relay client"));
    modeBox->addItem(QStringLiteral("The client, against the server"));
    matchBox = new QComboBox(this);
    named(matchBox, "replayMatchBox", "How commands are matched");
    matchBox->addItem(QStringLiteral("Strict: the next recorded command"));
    matchBox->addItem(QStringLiteral("Any: the first unused one with the same text"));
    toleranceBox = new QDoubleSpinBox(this);
    named(toleranceBox, "replayToleranceBox", "Numbers may differ by");
    toleranceBox->setDecimals(6);
    toleranceBox->setRange(0, 1e6);
    speedBox = new QDoubleSpinBox(this);
    named(speedBox, "replaySpeedBox", "Speed, 0 at once");
    speedBox->setDecimals(2);
    speedBox->setRange(0, 1000);
    speedBox->setValue(1);
    speedBox->setToolTip(QStringLiteral("Recorded delays divided by this; 0 answers and sends at once"));
    missBox = new QComboBox(this);
    named(missBox, "replayMissBox", "A command the recording doesn't have");
    missBox->addItem(QStringLiteral("Answer an error"));
    missBox->addItem(QStringLiteral("Acknowledge it"));
    missBox->addItem(QStringLiteral("Close the connection"));
    faultsEdit = new QLineEdit(this);
    named(faultsEdit, "replayFaultsEdit", "Scripted faults file");
    faultsEdit->setPlaceholderText(QStringLiteral("None"));
    faultsButton = new QPushButton(QStringLiteral("Fa&ults..."), this);
    named(faultsButton, "replayFaultsButton", "Choose a faults file");
    connect(faultsButton, &QPushButton::clicked, this, [this] {
        if (!host.hooks.openFileName)
            return;
        SetNextDialogFolder(folder);
        const QString path = host.hooks.openFileName(QStringLiteral("Faults"),
                                                     QStringLiteral("Faults|*.json|All files|*.*"), true);
        if (!path.isEmpty())
            faultsEdit->setText(path);
    });
    startButton = new QPushButton(QStringLiteral("&Start"), this);
    named(startButton, "replayStartButton", "Start the replay");
    stopButton = new QPushButton(QStringLiteral("St&op"), this);
    named(stopButton, "replayStopButton", "Stop the replay");
    connect(startButton, &QPushButton::clicked, this, [this] { start(); });
    connect(stopButton, &QPushButton::clicked, this, [this] { stop(); });
    progressLabel = new QLabel(QStringLiteral("Not running"), this);
    named(progressLabel, "replayProgress", "Replay progress");
    progressLabel->setTextFormat(Qt::PlainText);

    diffTable = new QTableWidget(0, ColumnCount, this);
    named(diffTable, "replayDiff", "Differences from the recording");
    diffTable->setHorizontalHeaderLabels({QStringLiteral("Line"), QStringLiteral("Kind"),
                                          QStringLiteral("Recorded"), QStringLiteral("Replayed"),
                                          QStringLiteral("Difference")});
    diffTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    diffTable->setSelectionMode(QAbstractItemView::SingleSelection);
    diffTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    diffTable->setWordWrap(false);
    diffTable->verticalHeader()->hide();
    diffTable->horizontalHeader()->setStretchLastSection(true);
    diffTable->setToolTip(
        QStringLiteral("Double-click a row to show the replayed command in the traffic log"));
    connect(diffTable, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        const QTableWidgetItem *item = diffTable->item(row, ColLine);
        const qint64 logLine = item ? item->data(Qt::UserRole).toLongLong() : -1;
        if (logLine >= 0 && host.showLogLine)
            host.showLogLine(int(logLine));
    });

    // The long choices don't widen the window: a box shows what fits.
    for (QComboBox *box : {legBox, modeBox, matchBox, missBox}) {
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(12);
        box->view()->setAccessibleName(box->accessibleName());
    }
    // A spin box's editor reads out as the box.
    for (QDoubleSpinBox *box : {toleranceBox, speedBox})
        if (QLineEdit *editor = box->findChild<QLineEdit *>())
            editor->setAccessibleName(box->accessibleName());

    // Two columns of choices, so that the page asks no more height of the
    // window than the other panes.
    auto *grid = new QGridLayout;
    auto label = [this](const QString &text, QWidget *buddy) {
        auto *l = new QLabel(text, this);
        l->setBuddy(buddy);
        return l;
    };
    auto *source = new QHBoxLayout;
    source->addWidget(fileButton);
    source->addWidget(fileEdit, 1);
    source->addWidget(browseButton);
    source->addWidget(logButton);
    grid->addWidget(new QLabel(QStringLiteral("Recording:"), this), 0, 0);
    grid->addLayout(source, 0, 1, 1, 3);
    grid->addWidget(label(QStringLiteral("&Plays:"), modeBox), 1, 0);
    grid->addWidget(modeBox, 1, 1);
    grid->addWidget(label(QStringLiteral("Le&g:"), legBox), 1, 2);
    grid->addWidget(legBox, 1, 3);
    grid->addWidget(label(QStringLiteral("&Matching:"), matchBox), 2, 0);
    grid->addWidget(matchBox, 2, 1);
    grid->addWidget(label(QStringLiteral("&Not recorded:"), missBox), 2, 2);
    grid->addWidget(missBox, 2, 3);
    auto *numbers = new QHBoxLayout;
    numbers->addWidget(toleranceBox, 1);
    numbers->addWidget(label(QStringLiteral("Spee&d:"), speedBox));
    numbers->addWidget(speedBox, 1);
    grid->addWidget(label(QStringLiteral("&Tolerance:"), toleranceBox), 3, 0);
    grid->addLayout(numbers, 3, 1);
    auto *faultRow = new QHBoxLayout;
    faultRow->addWidget(faultsEdit, 1);
    faultRow->addWidget(faultsButton);
    grid->addWidget(new QLabel(QStringLiteral("Faults:"), this), 3, 2);
    grid->addLayout(faultRow, 3, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(startButton);
    buttons->addWidget(stopButton);
    buttons->addWidget(progressLabel, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    layout->addWidget(diffTable, 1);
    connect(modeBox, &QComboBox::currentIndexChanged, this, [this] { updateControls(); });
    updateControls();
}

ReplayPage::~ReplayPage()
{
    // The engines refer to the recording: they go first.
    delete server;
    delete client;
}

void ReplayPage::setHost(ReplayHost h)
{
    host = std::move(h);
}

void ReplayPage::applySettings(const ReplaySettings &s)
{
    loaded = s;
    if (!s.present)
        return;
    fileEdit->setText(s.recording);
    (s.fromLog ? logButton : fileButton)->setChecked(true);
    legBox->setCurrentIndex(s.leg);
    modeBox->setCurrentIndex(s.playClient ? 1 : 0);
    matchBox->setCurrentIndex(s.matchAny ? 1 : 0);
    toleranceBox->setValue(s.tolerance);
    speedBox->setValue(s.speed);
    missBox->setCurrentIndex(s.onMiss);
    faultsEdit->setText(s.faults);
    if (!s.recording.isEmpty())
        folder = QFileInfo(s.recording).absolutePath();
}

ReplaySettings ReplayPage::settings() const
{
    ReplaySettings s;
    s.recording = fileEdit->text();
    s.fromLog = logButton->isChecked();
    s.leg = legBox->currentIndex();
    s.playClient = modeBox->currentIndex() == 1;
    s.matchAny = matchBox->currentIndex() == 1;
    s.tolerance = toleranceBox->value();
    s.speed = speedBox->value();
    s.onMiss = missBox->currentIndex();
    s.faults = faultsEdit->text();
    // Kept once the page differs from what was read, or the file had it.
    const ReplaySettings def;
    s.present = loaded.present || s.recording != def.recording || s.fromLog != def.fromLog || s.leg != def.leg
        || s.playClient != def.playClient || s.matchAny != def.matchAny || s.tolerance != def.tolerance
        || s.speed != def.speed || s.onMiss != def.onMiss || s.faults != def.faults;
    return s;
}

void ReplayPage::updateControls()
{
    const bool busy = running();
    const bool serve = modeBox->currentIndex() == 0;
    for (QWidget *w : std::initializer_list<QWidget *>{fileButton, logButton, fileEdit, browseButton, legBox,
                                                       modeBox, toleranceBox, speedBox, startButton})
        w->setEnabled(!busy);
    // Matching, the miss rule and the faults are the served side's.
    for (QWidget *w : std::initializer_list<QWidget *>{matchBox, missBox, faultsEdit, faultsButton})
        w->setEnabled(!busy && serve);
    stopButton->setEnabled(busy);
}

void ReplayPage::tell(const QString &text)
{
    if (host.hooks.message)
        host.hooks.message(QMessageBox::Warning, QStringLiteral("Replay"), text);
}

std::unique_ptr<Recording> ReplayPage::openRecording(QString *error)
{
    static constexpr LegChoice Legs[] = {LegChoice::Auto, LegChoice::Operator, LegChoice::Relay};
    std::unique_ptr<RecordingSource> source;
    if (logButton->isChecked()) {
        if (!host.logLine || !host.logLineCount) {
            *error = QStringLiteral("no traffic log");
            return nullptr;
        }
        // The log as it stands now: what the replay adds to it is not read.
        source = std::make_unique<LinesSource>(host.logLine, host.logLineCount());
    } else {
        const QString path = fileEdit->text().trimmed();
        if (path.isEmpty()) {
            *error = QStringLiteral("Choose a recording file, or the traffic log.");
            return nullptr;
        }
        source = SourceForFile(path);
    }
    auto rec = std::make_unique<Recording>(std::move(source), Legs[legBox->currentIndex()]);
    if (!rec->open(error))
        return nullptr;
    return rec;
}

bool ReplayPage::start()
{
    if (running())
        return false;
    const bool serve = modeBox->currentIndex() == 0;
    if (serve ? !host.writeRelayClient : !(host.sendToServer && host.serverConnected))
        return false;
    if (!serve && !host.serverConnected()) {
        tell(QStringLiteral("Connect to the server first: the recording plays the client against it."));
        return false;
    }
    QString error;
    const QString name = logButton->isChecked() ? QStringLiteral("The traffic log") : fileEdit->text();
    recording = openRecording(&error);
    if (!recording) {
        tell(QStringLiteral("%1: %2").arg(name, error));
        return false;
    }
    faults.reset();
    if (serve && !faultsEdit->text().trimmed().isEmpty()) {
        faults = std::make_unique<FaultScript>();
        if (!faults->load(faultsEdit->text().trimmed(), &error)) {
            faults.reset();
            recording.reset();
            tell(error);
            return false;
        }
    }
    diffTable->setRowCount(0);
    lastDiff = Diff();
    awaitingLog.clear();
    logLineAt.clear();
    positions = 0;
    // The transactions are counted a slice at a time, for the progress's
    // total; a client replay waits for the count of the motion commands
    // among them and asks first, since the machine moves.
    scanning = openRecording(&error);
    if (!scanning) {
        recording.reset();
        tell(QStringLiteral("%1: %2").arg(name, error));
        return false;
    }
    scanned = motion = 0;
    total = -1;
    scanTimer = new QTimer(this);
    connect(scanTimer, &QTimer::timeout, this, [this] { scanSlice(); });
    scanTimer->start(0);
    if (serve) {
        startServing();
        return true;
    }
    progressLabel->setText(QStringLiteral("Counting the motion commands..."));
    updateControls();
    return true;
}

void ReplayPage::scanSlice()
{
    for (qint64 n = 0; n < ScanSlice; ++n, ++scanned) {
        const RecordedTxn *t = scanning->at(scanned);
        if (!t) {
            scanTimer->deleteLater();
            scanTimer = nullptr;
            scanning.reset();
            total = scanned;
            if (server) {
                if (servedClient)
                    progress(server->diff().matched, total);
                return;
            }
            const bool go = motion == 0
                || (host.hooks.confirm
                    && host.hooks.confirm(
                        QStringLiteral("Replay"),
                        QStringLiteral("The recording holds %1 motion %2: the machine will move. Send them?")
                            .arg(motion)
                            .arg(motion == 1 ? QStringLiteral("command") : QStringLiteral("commands"))));
            if (!go || !host.serverConnected()) {
                recording.reset();
                progressLabel->setText(go ? QStringLiteral("The server link is down")
                                          : QStringLiteral("Not started"));
                updateControls();
                return;
            }
            startPlaying();
            return;
        }
        if (IsMotion(MethodName(t->command)))
            ++motion;
        scanning->release(scanned);
    }
    if (!server)
        progressLabel->setText(QStringLiteral("Counting the motion commands... %1").arg(scanned));
}

qint64 ReplayPage::expectLogged(const QByteArray &line)
{
    const qint64 position = positions++;
    // A log that drops what it was handed must not grow this without end.
    if (awaitingLog.size() > 10000)
        awaitingLog.pop_front();
    awaitingLog.emplace_back(line, position);
    return position;
}

void ReplayPage::logged(bool relayLeg, bool toServer, const QByteArray &line, qint64 logLine)
{
    if (awaitingLog.empty() || !toServer || relayLeg != awaitRelayLeg || line != awaitingLog.front().first)
        return;
    // A line that freeze or the filter kept out of the log has no line to show.
    const qint64 position = awaitingLog.front().second;
    awaitingLog.pop_front();
    if (qint64(logLineAt.size()) <= position)
        logLineAt.resize(size_t(position) + 1, -1);
    logLineAt[size_t(position)] = logLine;
}

void ReplayPage::startServing()
{
    ServeOptions o;
    o.match = matchBox->currentIndex() == 1 ? MatchMode::Any : MatchMode::Strict;
    o.tolerance = toleranceBox->value();
    o.speed = speedBox->value();
    static constexpr MissRule Rules[] = {MissRule::Error, MissRule::Ack, MissRule::Close};
    o.onMiss = Rules[missBox->currentIndex()];
    server = new ServerReplay(*recording, o, this);
    server->setFaults(faults.get());
    server->setOutput([this](const QByteArray &line) { host.writeRelayClient(line); },
                      [this] {
                          if (host.dropRelayClient)
                              host.dropRelayClient();
                      });
    connect(server, &ServerReplay::progress, this, &ReplayPage::progress);
    awaitRelayLeg = true;
    servedClient = host.relayClientConnected && host.relayClientConnected();
    progressLabel->setText(servedClient ? QStringLiteral("Serving the relay client")
                                        : QStringLiteral("Waiting for a relay client on port %1")
                                              .arg(host.relayPort ? host.relayPort() : 0));
    updateControls();
}

void ReplayPage::startPlaying()
{
    ClientOptions o;
    o.speed = speedBox->value();
    o.diff.tolerance = toleranceBox->value();
    client = new ClientReplay(*recording, o, this);
    client->setOutput([this](const QByteArray &line) {
        expectLogged(line);
        host.sendToServer(line);
    });
    client->setPositions([this] { return positions - 1; });
    connect(client, &ClientReplay::progress, this, &ReplayPage::progress);
    connect(client, &ClientReplay::finished, this,
            [this] { QTimer::singleShot(0, this, [this] { done(); }); });
    awaitRelayLeg = false;
    progressLabel->setText(QStringLiteral("Playing the client"));
    updateControls();
    client->start();
}

void ReplayPage::relayClientLine(const QByteArray &line)
{
    if (!server)
        return;
    servedClient = true;
    const qint64 position = expectLogged(line);
    if (host.logRelayClientLine)
        host.logRelayClientLine(line);
    server->clientLine(line, position);
}

void ReplayPage::relayClientLeft()
{
    // The served client has gone: the replay is over.
    if (server && servedClient)
        done();
}

void ReplayPage::serverLine(const QByteArray &line)
{
    if (client)
        client->serverLine(line);
}

void ReplayPage::serverLinkDropped()
{
    if (client && !client->isFinished())
        client->serverGone();
}

void ReplayPage::progress(qint64 doneCount, qint64 of)
{
    if (of < 0)
        of = total;
    progressLabel->setText(of >= 0 ? QStringLiteral("%1 of %2 transactions").arg(doneCount).arg(of)
                                   : QStringLiteral("%1 transactions").arg(doneCount));
}

void ReplayPage::stop()
{
    if (scanTimer && !server) {
        scanTimer->deleteLater();
        scanTimer = nullptr;
        scanning.reset();
        recording.reset();
        progressLabel->setText(QStringLiteral("Not started"));
        updateControls();
        return;
    }
    if (server) {
        if (host.relayClientConnected && host.relayClientConnected() && host.dropRelayClient)
            host.dropRelayClient();
        done();
    } else if (client && !client->isFinished()) {
        // AbortE, then a clean EndSession; the diff follows.
        client->stop("stopped by the operator");
        if (!host.serverConnected || !host.serverConnected())
            client->serverGone();
    }
}

void ReplayPage::done()
{
    QString summary;
    if (server) {
        server->finish();
        lastDiff = std::move(server->diff());
        server->deleteLater();
        server = nullptr;
    } else if (client) {
        lastDiff = std::move(client->diff());
        if (client->timedOut())
            summary = QStringLiteral("The server went silent (") + Latin1(client->stopReasonText())
                + QStringLiteral("): ");
        else if (client->stopped())
            summary = QStringLiteral("Stopped (") + Latin1(client->stopReasonText()) + QStringLiteral("): ");
        client->deleteLater();
        client = nullptr;
    } else {
        return;
    }
    if (scanTimer) {
        scanTimer->deleteLater();
        scanTimer = nullptr;
        scanning.reset();
    }
    recording.reset();
    faults.reset();
    const Diff &d = lastDiff;
    summary += QStringLiteral("%1 matched, %2 missing, %3 extra, %4 with changed lines, %5 slower")
                   .arg(d.matched)
                   .arg(d.missing)
                   .arg(d.extra)
                   .arg(d.changed)
                   .arg(d.slow);
    if (d.empty())
        summary += QStringLiteral(": no differences");
    progressLabel->setText(summary);
    fillTable();
    updateControls();
    Q_EMIT finished();
}

void ReplayPage::fillTable()
{
    const Diff &d = lastDiff;
    diffTable->setUpdatesEnabled(false);
    diffTable->setRowCount(0);
    int row = 0;
    auto put = [this](int r, int c, const QString &text) {
        diffTable->setItem(r, c, new QTableWidgetItem(text));
    };
    for (const DiffEntry &e : d.entries) {
        if (!e.differs())
            continue;
        QStringList changes;
        for (const LineChange &c : e.lines) {
            switch (c.kind) {
            case LineChange::Added:
                changes << QStringLiteral("added \"%1\"").arg(Latin1(c.replayed.trimmed()));
                break;
            case LineChange::Removed:
                changes << QStringLiteral("removed \"%1\"").arg(Latin1(c.recorded.trimmed()));
                break;
            case LineChange::Changed:
                changes << QStringLiteral("\"%1\" now \"%2\"")
                               .arg(Latin1(c.recorded.trimmed()), Latin1(c.replayed.trimmed()));
                break;
            }
        }
        if (e.slowAck)
            changes << QStringLiteral("slower '&': %1 ms, recorded %2 ms")
                           .arg(double(e.ackUs) / 1000.0, 0, 'f', 1)
                           .arg(double(e.recordedAckUs) / 1000.0, 0, 'f', 1);
        if (e.slowDone)
            changes << QStringLiteral("slower '%': %1 ms, recorded %2 ms")
                           .arg(double(e.doneUs) / 1000.0, 0, 'f', 1)
                           .arg(double(e.recordedDoneUs) / 1000.0, 0, 'f', 1);
        if (!e.note.isEmpty())
            changes << Latin1(e.note);
        diffTable->insertRow(row);
        const qint64 logLine = e.replayedPosition >= 0 && e.replayedPosition < qint64(logLineAt.size())
            ? logLineAt[size_t(e.replayedPosition)]
            : -1;
        auto *where = new QTableWidgetItem(e.fileLine >= 0 ? QString::number(e.fileLine) : QString());
        where->setData(Qt::UserRole, logLine);
        diffTable->setItem(row, ColLine, where);
        put(row, ColKind,
            e.kind == EntryKind::Missing     ? QStringLiteral("missing")
                : e.kind == EntryKind::Extra ? QStringLiteral("extra")
                                             : QStringLiteral("changed"));
        put(row, ColRecorded, Latin1(e.recordedCommand));
        put(row, ColReplayed, Latin1(e.replayedCommand));
        put(row, ColChange, changes.join(QStringLiteral("; ")));
        ++row;
    }
    if (d.dropped > 0) {
        diffTable->insertRow(row);
        put(row, ColChange, QStringLiteral("... and %1 more differences").arg(d.dropped));
    }
    diffTable->resizeColumnToContents(ColLine);
    diffTable->resizeColumnToContents(ColKind);
    diffTable->setUpdatesEnabled(true);
}

} // namespace inspect
