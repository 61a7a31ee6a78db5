// The settings file: read once at start-up, written once at close.

#include "app/tform1.h"
#include "app/profile.h"
#include "link/protocol.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QNetworkInterface>
#include <QScreen>

namespace {

const QString SettingsPath = QStringLiteral("./Torvane.ini");

const QString SecTcp = QStringLiteral("TCP/IP");
const QString SecCommand = QStringLiteral("CurrentCommand");
const QString SecTool = QStringLiteral("Tool");
const QString SecMisc = QStringLiteral("Misc");
const QString SecCommands = QStringLiteral("Commands");
const QString SecFiles = QStringLiteral("Files");
const QString SecWindow = QStringLiteral("Window");
const QString SecRelay = QStringLiteral("RelayServer");
const QString SecExclude = QStringLiteral("Exclude");
const QString KeyCount = QStringLiteral("Count");
// The settings file's key names are kept as stored files have them, spelling
// included: "NoTimout" (1: sends wait for their acknowledge without a time-out).
const QString KeyNoTimeout = QStringLiteral("NoTimout");

constexpr int DefaultRelayPort = 1295;
// A window position or size beyond these is a damaged file, not a desktop.
constexpr int MaxWindowPos = 16384;
constexpr int MaxWindowSize = 8192;
// This much of the window must lie on some screen for the operator to reach it.
constexpr int MinVisible = 48;

// The "Count" of a list section. False when the section holds keys but no
// Count that reads as a number from 0 up (missing, negative, beyond the int
// range, not a number): such a section is damaged, not empty.
bool readCount(const ProfileFile &ini, const QString &section, int &count)
{
    count = 0;
    if (ini.keys(section).isEmpty())
        return true;
    count = ini.readInteger(section, KeyCount, -1);
    if (count >= 0)
        return true;
    count = 0;
    return false;
}

// An entry key: a decimal number without sign, blanks or leading zeros.
bool entryNumber(const QString &key, int &number)
{
    if (key.isEmpty() || key.size() > 9 || (key.size() > 1 && key.front() == QLatin1Char('0')))
        return false;
    number = 0;
    for (QChar c : key) {
        if (c.unicode() < '0' || c.unicode() > '9')
            return false;
        number = number * 10 + (c.unicode() - '0');
    }
    return true;
}

// The non-empty entries "0" .. count-1 of a list section, in number order.
// Only the keys that are there are visited, so a damaged Count costs nothing.
QStringList readEntries(const ProfileFile &ini, const QString &section, int count)
{
    QMap<int, QString> entries;
    for (const QString &key : ini.keys(section)) {
        int n = 0;
        if (!entryNumber(key, n) || n >= count)
            continue;
        const QString value = ini.readString(section, key, QString());
        if (!value.isEmpty())
            entries.insert(n, value);
    }
    return entries.values();
}

void writeEntries(ProfileFile &ini, const QString &section, const QListWidget *list)
{
    ini.eraseSection(section);
    ini.writeInteger(section, KeyCount, list->count());
    for (int i = 0; i < list->count(); ++i)
        ini.writeString(section, QString::number(i), list->item(i)->text());
}

bool switchOn(const ProfileFile &ini, const QString &section, const QString &key, int defaultValue)
{
    return ini.readInteger(section, key, defaultValue) == 1;
}

// The relay listener's address for a "Bind" text: all IPv4 addresses for an
// empty one. One that is not an IPv4 address of this computer gives
// loopback only and false: a mistyped limit must not widen the relay's reach.
bool relayBindAddressFor(const QString &text, QHostAddress &address)
{
    const QString t = TrimControls(text);
    if (t.isEmpty()) {
        address = QHostAddress(QHostAddress::AnyIPv4);
        return true;
    }
    const QHostAddress wanted(t);
    if (wanted.protocol() == QAbstractSocket::IPv4Protocol
        && (wanted == QHostAddress(QHostAddress::AnyIPv4)
            || QNetworkInterface::allAddresses().contains(wanted))) {
        address = wanted;
        return true;
    }
    address = QHostAddress(QHostAddress::LocalHost);
    return false;
}

// A window that would lie off every screen is put onto the primary screen,
// as far into its top left corner as it has to go to fit.
void keepOnScreen(QWidget *window)
{
    const QRect frame = window->frameGeometry();
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect seen = frame.intersected(screen->availableGeometry());
        if (seen.width() >= MinVisible && seen.height() >= MinVisible)
            return;
    }
    const QScreen *primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    const QRect area = primary->availableGeometry();
    const int x = qMax(area.left(), qMin(frame.left(), area.right() + 1 - frame.width()));
    const int y = qMax(area.top(), qMin(frame.top(), area.bottom() + 1 - frame.height()));
    window->move(x, y);
}

} // namespace

void TForm1::LoadSettings()
{
    settingsFile = std::make_unique<ProfileFile>(SettingsPath);
    settingsFile->load(); // a missing or unreadable file gives the defaults
    const ProfileFile &ini = *settingsFile;

    EdHost->setText(ini.readString(SecTcp, QStringLiteral("Host"), QStringLiteral("127.0.0.1")));
    EdPort->setText(ini.readString(SecTcp, QStringLiteral("Port"), QStringLiteral("1294")));
    EdCurrentCommand->setText(
        ini.readString(SecCommand, QStringLiteral("cmd"), QStringLiteral("EnableUser()")));
    edToolC->setText(ini.readString(SecTool, QStringLiteral("C"), QStringLiteral("Probe1")));
    EdToolF->setText(ini.readString(SecTool, QStringLiteral("F"), QString()));

    advancedMode = switchOn(ini, SecMisc, QStringLiteral("Advanced"), 0);
    noTimeout = switchOn(ini, SecMisc, KeyNoTimeout, 1);
    noTimeStamp = switchOn(ini, SecMisc, QStringLiteral("NoTimeStamp"), 0);

    // The saved command list; without one the design-time list stays. A
    // section whose Count can't be read counts as no list here, and is kept
    // as it is in the file until the operator replaces the list.
    int commandCount = 0;
    keepCommandsSection = !readCount(ini, SecCommands, commandCount);
    defaultCommands = readEntries(ini, SecCommands, commandCount);
    if (commandCount != 0)
        BtRestoreClick();

    int fileCount = 0;
    keepFilesSection = !readCount(ini, SecFiles, fileCount);
    if (fileCount != 0)
        lbFiles->clear();
    lbFiles->addItems(readEntries(ini, SecFiles, fileCount));
    filesAtStart.clear();
    for (int i = 0; i < lbFiles->count(); ++i)
        filesAtStart << lbFiles->item(i)->text();

    // Window geometry: Top and Left place the frame, Width and Height size the window.
    const int top =
        qBound(-MaxWindowPos, ini.readInteger(SecWindow, QStringLiteral("Top"), y()), MaxWindowPos);
    move(x(), top);
    const int left =
        qBound(-MaxWindowPos, ini.readInteger(SecWindow, QStringLiteral("Left"), x()), MaxWindowPos);
    move(left, y());
    const int width =
        qBound(1, ini.readInteger(SecWindow, QStringLiteral("Width"), this->width()), MaxWindowSize);
    resize(width, height());
    const int height =
        qBound(1, ini.readInteger(SecWindow, QStringLiteral("Height"), this->height()), MaxWindowSize);
    resize(this->width(), height);
    keepOnScreen(this);

    // The relay port, kept apart from the server port.
    int port = ini.readInteger(SecRelay, QStringLiteral("Port"), DefaultRelayPort);
    if (port < 1 || port > 65535)
        port = DefaultRelayPort;
    int serverPort = 0;
    if (ParseIntStrict(EdPort->text(), serverPort) && serverPort == port)
        port = port < 65535 ? port + 1 : port - 1;
    listenPort = quint16(port);
    edListenPort->setText(QString::number(port));

    // The relay listener's address: empty for all IPv4 addresses. The text
    // is written back as it was read, usable or not.
    relayBind = ini.readString(SecRelay, QStringLiteral("Bind"), QString());
    if (!relayBindAddressFor(relayBind, relayBindAddress))
        LogEvent(QStringLiteral("---------- Relay bind address \"%1\" is not an IPv4 address of this "
                                "computer: relay listening on 127.0.0.1 only")
                     .arg(relayBind));

    EdExclude->setText(ini.readString(SecExclude, QStringLiteral("String"), QString()));
    CbExclude->setChecked(switchOn(ini, SecExclude, QStringLiteral("Enabled"), 0));
    LoadInspectorSettings(ini);
}

void TForm1::SaveSettings()
{
    if (!settingsFile)
        settingsFile = std::make_unique<ProfileFile>(SettingsPath);
    // Start from the file as it is now, so that whatever else it holds
    // (comments, other programs' keys) is written back unchanged. When it
    // cannot be read, what was read at start-up stands in for it.
    QString readError;
    const bool readNow = settingsFile->load(&readError);
    ProfileFile &ini = *settingsFile;
    const QString name = QDir::toNativeSeparators(QFileInfo(ini.fileName()).absoluteFilePath());
    if (!readNow && !ini.wasRead()) {
        // Never read: writing now would put the defaults in place of what it holds.
        hooks.message(QMessageBox::Critical, QStringLiteral("Torvane"),
                      QStringLiteral("The settings could not be saved to %1: it could not be read (%2).")
                          .arg(name, readError));
        return;
    }

    ini.writeString(SecTcp, QStringLiteral("Host"), EdHost->text());
    ini.writeString(SecTcp, QStringLiteral("Port"), EdPort->text());
    ini.writeString(SecCommand, QStringLiteral("cmd"), EdCurrentCommand->text());
    ini.writeString(SecTool, QStringLiteral("C"), edToolC->text());
    ini.writeString(SecTool, QStringLiteral("F"), EdToolF->text());
    // A damaged list section stays as it is unless its list was changed.
    if (!keepCommandsSection || listAppended)
        writeEntries(ini, SecCommands, LbCommands);
    QStringList files;
    for (int i = 0; i < lbFiles->count(); ++i)
        files << lbFiles->item(i)->text();
    if (!keepFilesSection || files != filesAtStart)
        writeEntries(ini, SecFiles, lbFiles);
    ini.writeInteger(SecWindow, QStringLiteral("Top"), y());
    ini.writeInteger(SecWindow, QStringLiteral("Left"), x());
    ini.writeInteger(SecWindow, QStringLiteral("Width"), width());
    ini.writeInteger(SecWindow, QStringLiteral("Height"), height());
    ini.writeInteger(SecRelay, QStringLiteral("Port"), listenPort);
    ini.writeString(SecRelay, QStringLiteral("Bind"), relayBind);
    ini.writeString(SecExclude, QStringLiteral("String"), EdExclude->text());
    ini.writeInteger(SecExclude, QStringLiteral("Enabled"), CbExclude->isChecked() ? 1 : 0);
    ini.writeInteger(SecMisc, KeyNoTimeout, noTimeout ? 1 : 0);
    ini.writeInteger(SecMisc, QStringLiteral("NoTimeStamp"), noTimeStamp ? 1 : 0);
    ini.writeInteger(SecMisc, QStringLiteral("Advanced"), advancedMode ? 1 : 0);
    SaveInspectorSettings(ini);

    QString reason;
    if (!ini.save(&reason)) {
        hooks.message(QMessageBox::Critical, QStringLiteral("Torvane"),
                      QStringLiteral("The settings could not be saved to %1: %2.").arg(name, reason));
    }
}
