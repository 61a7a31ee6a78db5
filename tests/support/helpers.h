#pragma once
// Small helpers the tests share: files, list rows, settings with a free relay
// port, scripted replies, and waits on sockets and peers.

#include <QByteArray>
#include <QList>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <functional>

class QAbstractSocket;
class QListWidget;
class TForm1;
class TrafficLogView;

// Instrumented builds (AddressSanitizer) run several times slower: time-outs
// of waits are scaled by this.
#if defined(__SANITIZE_ADDRESS__)
constexpr int SlowFactor = 8;
#else
constexpr int SlowFactor = 1;
#endif

// The whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);
// Writes `bytes` to `path`, failing the running test when that does not work.
void writeFile(const QString &path, const QByteArray &bytes);

// The log as Save Log writes it: every line followed by CR LF.
QByteArray logBytes(const TrafficLogView *log);

// The texts of a list's items, in order.
QStringList items(const QListWidget *list);
// The window's command list.
QStringList rows(const TForm1 *f);

// A settings file that names a free relay port (so that the window's
// listener never collides with another test or the default port), followed
// by `more`. The port is handed out in `relayPort` when asked for.
QByteArray iniWithFreeRelayPort(const QByteArray &more = QByteArray(), quint16 *relayPort = nullptr);

// Every reply a real server gives to `line`: acknowledge, one data line and
// completion. The data line is "<tag> # data <tag>" unless `data` is given.
QList<QByteArray> fullReply(const QByteArray &line, const QByteArray &data = QByteArray());

// Waits until `socket` is unconnected, at most `ms`.
bool waitUnconnected(QAbstractSocket &socket, int ms = 5000);

// Runs a multi-send to its end: `start` begins it, and the other side is
// played by callbacks. Should it not end in time, the running test fails and
// this returns false.
bool runMultiSend(TForm1 *f, const std::function<void()> &start);

// True when `peer` (a TestServer or TestRelayClient) receives no further line
// within `ms`: gives a line that should not come the chance to arrive.
template <class Peer> bool noLineWithin(Peer &peer, int ms = 50)
{
    QSignalSpy more(&peer, &Peer::lineReceived);
    return !more.wait(ms);
}
