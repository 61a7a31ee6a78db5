// Live inspection in the main window: the lines of both legs go to the
// inspector as they pass the sockets; F9 or the Inspect button opens its
// window, which can point at lines of the traffic log.

#include "app/tform1.h"
#include "check/protocolchecker.h"
#include "inspect/inspectormodels.h"
#include "inspect/inspectorwindow.h"
#include "inspect/liveinspector.h"
#include "log/logview.h"

#include <QPushButton>
#include <QShortcut>

namespace {
constexpr int AnchorMoveY = 2; // the placement's "moves with the bottom edge" (app/tform1.cpp)
} // namespace

void TForm1::buildInspector()
{
    inspector = new inspect::LiveInspector(this);
    // The log lost its oldest lines: the findings' log lines no longer hold.
    connect(MemoLog, &TrafficLogView::linesDiscarded, this, [this] {
        inspector->logCleared();
        traffic.logCleared();
    });
    // Lines with a finding carry a mark left of the log's text.
    MemoLog->setMarkSource([this](int line, LogLineMark *mark, bool withTip) {
        check::Severity worst = check::Severity::Note;
        if (!inspector->worstAtLogLine(line, &worst))
            return false;
        mark->colour = inspect::SeverityColour(worst);
        if (withTip) {
            QStringList tips;
            for (const inspect::LogLineFinding &f : inspector->findingsAtLogLine(line))
                tips << f.text;
            mark->tip = tips.join(QLatin1Char('\n'));
        }
        return true;
    });
    connect(inspector, &inspect::LiveInspector::logLineFindingsAdded, MemoLog, &TrafficLogView::updateMarks);
    connect(inspector, &inspect::LiveInspector::logLinesForgotten, MemoLog, &TrafficLogView::updateMarks);
    BtInspect = new QPushButton(QStringLiteral("Inspect"), this);
    BtInspect->setObjectName(QStringLiteral("BtInspect"));
    BtInspect->setAccessibleName(QStringLiteral("Open the inspector"));
    BtInspect->setToolTip(QStringLiteral("Transactions, findings and timing of the traffic (F9)"));
    // In the free space of the log's button row, right of Save Log.
    place(BtInspect, 606, 592, 70, 24, AnchorMoveY);
    connect(BtInspect, &QPushButton::clicked, this, [this] { ShowInspector(); });
    auto *f9 = new QShortcut(QKeySequence(Qt::Key_F9), this);
    f9->setContext(Qt::WindowShortcut);
    connect(f9, &QShortcut::activated, this, [this] { ShowInspector(); });
}

void TForm1::InspectRecord(const TrafficRecord &record)
{
    if (!record.onWire || record.relayed || !inspector->live())
        return;
    static constexpr check::LineEnd Ends[] = {check::LineEnd::CrLf, check::LineEnd::Lf, check::LineEnd::LfCr,
                                              check::LineEnd::Cr, check::LineEnd::Missing};
    const check::LineEnd end = Ends[int(record.ending)];
    // A line the log kept out was kept out by Freeze or else by the filter,
    // as the log decided just now.
    const int logLine = record.logLine >= 0 ? int(record.logLine)
        : logFrozen                         ? inspect::NotInLogFrozen
                                            : inspect::NotInLogFiltered;
    if (record.leadingCr) // the CR is the line before's
        inspector->feed(record.leg, record.dir, QByteArrayView(record.line).sliced(1), record.own, logLine,
                        end);
    else
        inspector->feed(record.leg, record.dir, record.line, record.own, logLine, end);
}

void TForm1::InspectReset(check::Leg leg)
{
    FlushDeferredTraffic();
    if (!inspector->live())
        return;
    inspector->connectionReset(leg, MemoLog->lineCount() - 1);
}

void TForm1::ShowInspector()
{
    if (!inspectorWindow) {
        FormHooks windowHooks;
        windowHooks.message = hooks.message;
        windowHooks.saveFileName = hooks.saveFileName;
        inspectorWindow = new inspect::InspectorWindow(inspector, windowHooks, this);
        inspectorWindow->applySettings(inspectorSettings);
        inspectorWindow->logLineBytes = [this](int line) -> std::optional<QByteArray> {
            if (line < 0 || line >= MemoLog->lineCount())
                return std::nullopt;
            return MemoLog->lineBytes(line);
        };
        connect(inspectorWindow, &inspect::InspectorWindow::showLogLine, this,
                [this](int logLine) { ShowLogLine(logLine); });
        AttachReplayPage();
    }
    inspectorWindow->show();
    inspectorWindow->raise();
    inspectorWindow->activateWindow();
}

void TForm1::ShowLogLine(int logLine)
{
    if (logLine < 0 || logLine >= MemoLog->lineCount())
        return;
    MemoLog->setCursorLine(logLine);
    MemoLog->showLine(logLine);
    raise();
}

void TForm1::LoadInspectorSettings(const ProfileFile &ini)
{
    inspect::ReadInspectorSettings(ini, inspectorSettings);
    inspector->setRules(inspectorSettings.rules);
    inspector->setLive(inspectorSettings.live);
    if (inspectorWindow)
        inspectorWindow->applySettings(inspectorSettings);
    LoadReplaySettings(ini);
}

// The section is written once the inspector was opened, or kept when the
// file had it.
void TForm1::SaveInspectorSettings(ProfileFile &ini)
{
    if (inspectorWindow)
        inspectorSettings = inspectorWindow->settings();
    if (inspectorSettings.present)
        inspect::WriteInspectorSettings(ini, inspectorSettings);
    SaveReplaySettings(ini);
}
