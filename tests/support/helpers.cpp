#include "support/helpers.h"

#include "app/tform1.h"
#include "log/logview.h"
#include "support/formfixture.h"

#include <QAbstractSocket>
#include <QBuffer>
#include <QFile>
#include <QListWidget>
#include <QTest>
#include <QTimer>

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

QStringList items(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QStringList rows(const TForm1 *f)
{
    return items(f->LbCommands);
}

QByteArray iniWithFreeRelayPort(const QByteArray &more, quint16 *relayPort)
{
    const quint16 port = FreePort();
    if (relayPort)
        *relayPort = port;
    return "[RelayServer]\r\nPort=" + QByteArray::number(port) + "\r\n" + more;
}

QList<QByteArray> fullReply(const QByteArray &line, const QByteArray &data)
{
    const QByteArray tag = line.trimmed().left(5);
    return {tag + " &", tag + " # " + (data.isEmpty() ? "data " + tag : data), tag + " %"};
}

bool waitUnconnected(QAbstractSocket &socket, int ms)
{
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
}

bool runMultiSend(TForm1 *f, const std::function<void()> &start)
{
    start();
    bool ended = false;
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(!f->multiSendActive, 10000);
        ended = true;
    }();
    return ended;
}

QByteArray logBytes(const TrafficLogView *log)
{
    QByteArray bytes;
    QBuffer out(&bytes);
    out.open(QIODevice::WriteOnly);
    QString reason;
    if (!log->writeTo(out, {}, &reason))
        qWarning("the log could not be written: %s", qPrintable(reason));
    return bytes;
}
