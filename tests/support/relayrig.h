#pragma once
// The real window between a scripted server and a stand-in relay client:
// the window's server link points at the test server, its listener at a
// free port. Log lines carry no time stamp.

#include "support/formfixture.h"
#include "support/helpers.h"
#include "support/testserver.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include "log/logview.h"

struct RelayRig {
    FormFixture f;
    TestServer server;
    quint16 relayPort = 0;

    RelayRig()
    {
        f->noTimeStamp = true;
        f->EdHost->setText(QStringLiteral("127.0.0.1"));
        f->EdPort->setText(QString::number(server.port()));
        f->listenPort = FreePort();
        f->RunHandler([this] { f->StartRelayListener(); });
        relayPort = f->listenPort;
        f.messages.clear();
    }
    bool listening() const
    {
        return f->IdTCPServer1->isListening() && f->IdTCPServer1->serverPort() == relayPort;
    }

    bool connectServer()
    {
        f->BtConnect->click();
        return QTest::qWaitFor([this] { return f->serverConnected; }) && server.waitForClient();
    }
    // Connects `client` and waits until the window has taken it on.
    bool attach(TestRelayClient &client)
    {
        // Taken on once the link the client may bring up has settled.
        return client.connectTo(relayPort)
            && QTest::qWaitFor([this] { return f->RelayClientConnected() && !f->LinkSettling(); });
    }
    bool logHas(const QString &line) const { return f.logLines().contains(line); }
    int logCount(const QString &prefix) const
    {
        int n = 0;
        for (const QString &l : f.logLines())
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }
};
