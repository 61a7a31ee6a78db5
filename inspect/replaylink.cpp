// The inspector's Replay page in the main window: while it serves, the relay
// client's commands go to the replay in place of the server link, and the
// replayed answers go to the client as the program's own lines ("<F< ");
// while it plays the client, its commands go out as the operator's and the
// server's lines come back to it. Everything is logged and checked as usual.

#include "app/tform1.h"
#include "check/markers.h"
#include "inspect/inspectorwindow.h"
#include "inspect/replaypage.h"
#include "log/logview.h"

void TForm1::AttachReplayPage()
{
    replayPage = inspectorWindow->findChild<inspect::ReplayPage *>();
    if (!replayPage)
        return;
    inspect::ReplayHost host;
    host.hooks.message = hooks.message;
    host.hooks.confirm = hooks.confirm;
    host.hooks.openFileName = hooks.openFileName;
    host.logLineCount = [this] { return qint64(MemoLog->lineCount()); };
    host.logLine = [this](qint64 line) { return MemoLog->lineBytes(int(line)); };
    host.showLogLine = [this](int line) { ShowLogLine(line); };
    host.relayClientConnected = [this] { return RelayClientConnected(); };
    host.writeRelayClient = [this](const QByteArray &line) { WriteRelayLine(line, LogMarker::Faked, true); };
    host.logRelayClientLine = [this](const QByteArray &line) {
        Publish(check::Leg::Relay, check::Direction::ToServer, line, LogMarker::FromRelay);
    };
    host.dropRelayClient = [this] { DropRelayClient(); };
    host.relayPort = [this] { return listenPort; };
    host.serverConnected = [this] { return serverConnected; };
    host.sendToServer = [this](const QByteArray &line) {
        RunHandler([this, &line] {
            LogWithMarker(line, LogMarker::Operator);
            DispatchCommand(line, false);
        });
    };
    replayPage->setHost(std::move(host));
    if (replaySettings)
        replayPage->applySettings(*replaySettings);
    // The log lines of the replayed commands, for the diff's double-click.
    traffic.subscribe([this](const TrafficRecord &r) {
        if (replayPage && replayPage->running())
            replayPage->logged(r.leg == check::Leg::Relay, r.dir == check::Direction::ToServer, r.line,
                               r.logLine);
    });
}

bool TForm1::ReplayServes() const
{
    return replayPage && replayPage->serving();
}

bool TForm1::ReplayRelayLine(const QByteArray &line)
{
    if (!ReplayServes())
        return false;
    replayPage->relayClientLine(line);
    return true;
}

void TForm1::ReplayRelayLeft()
{
    if (replayPage)
        replayPage->relayClientLeft();
}

void TForm1::ReplayServerLine(const QByteArray &line)
{
    if (replayPage && replayPage->playing())
        replayPage->serverLine(line);
}

void TForm1::ReplayServerGone()
{
    if (replayPage)
        replayPage->serverLinkDropped();
}

void TForm1::LoadReplaySettings(const ProfileFile &ini)
{
    if (!replaySettings)
        replaySettings = std::make_shared<inspect::ReplaySettings>();
    inspect::ReadReplaySettings(ini, *replaySettings);
    if (replayPage)
        replayPage->applySettings(*replaySettings);
}

void TForm1::SaveReplaySettings(ProfileFile &ini)
{
    if (replayPage)
        replaySettings = std::make_shared<inspect::ReplaySettings>(replayPage->settings());
    if (replaySettings && replaySettings->present)
        inspect::WriteReplaySettings(ini, *replaySettings);
}
