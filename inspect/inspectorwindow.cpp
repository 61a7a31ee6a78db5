#include "inspect/inspectorwindow.h"

#include "inspect/inspectormodels.h"
#include "inspect/liveinspector.h"
#include "inspect/offline.h"
#include "inspect/replaypage.h"
#include "inspect/timeline.h"

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace inspect {

namespace {

constexpr int AgeTickMs = 500;
constexpr int TimingTickMs = 1000;
// The panes' tabs, in their order.
enum Pane { TransactionsPane, FindingsPane, TimingPane };

QTableView *MakeTable(QWidget *parent, QAbstractItemModel *model, const QString &name)
{
    auto *view = new QTableView(parent);
    view->setObjectName(name);
    view->setAccessibleName(name);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->setAlternatingRowColors(true);
    view->verticalHeader()->hide();
    // Fixed row heights: no row is measured, however many there are.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setStretchLastSection(true);
    return view;
}

// An action's text shows '&' as itself, not as a shortcut's mark.
QString MenuText(QString text)
{
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

} // namespace

QString CountText(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString FindingsText(const LiveInspector *ins)
{
    if (ins->followOnCount() == 0)
        return CountText(ins->findingCount(), "finding", "findings");
    return CountText(ins->rootCauseCount(), "root cause", "root causes") + QStringLiteral(" (")
        + CountText(ins->followOnCount(), "follow-on", "follow-ons") + QLatin1Char(')');
}

InspectorWindow::InspectorWindow(LiveInspector *inspector, FormHooks formHooks, QWidget *parent)
    : QWidget(parent, Qt::Window), ins(inspector), hooks(std::move(formHooks))
{
    live.ins = inspector;
    setObjectName(QStringLiteral("InspectorWindow"));
    setAccessibleName(QStringLiteral("Inspector"));
    resize(980, 560);

    txnModel = new TransactionModel(ins, this);
    findingModel = new FindingModel(ins, this);
    summaryModel = new FindingSummaryModel(ins, this);
    statsModel = new StatsModel(ins, this);

    // The checker's settings and the report.
    liveBox = new QCheckBox(QStringLiteral("Check &live"), this);
    liveBox->setObjectName(QStringLiteral("liveBox"));
    liveBox->setAccessibleName(QStringLiteral("Check the traffic live"));
    liveBox->setToolTip(QStringLiteral("Off, the traffic is relayed and logged but not checked"));
    liveBox->setChecked(live.ins->live());
    connect(liveBox, &QCheckBox::toggled, this, [this](bool on) {
        live.ins->setLive(on);
        updateTitle();
    });
    profileBox = new QComboBox(this);
    profileBox->setObjectName(QStringLiteral("profileBox"));
    profileBox->setAccessibleName(QStringLiteral("Checker profile"));
    for (check::Profile p : {check::Profile::Spec143, check::Profile::Nist, check::Profile::V2})
        profileBox->addItem(QLatin1String(check::ProfileName(p)), int(p));
    rulesButton = new QToolButton(this);
    rulesButton->setObjectName(QStringLiteral("rulesButton"));
    rulesButton->setText(QStringLiteral("Rules"));
    rulesButton->setAccessibleName(QStringLiteral("Rule switches"));
    rulesButton->setPopupMode(QToolButton::InstantPopup);
    rulesMenu = new QMenu(rulesButton);
    rulesMenu->setAccessibleName(QStringLiteral("Rule switches"));
    for (int r = 0; r < check::RuleCount; ++r) {
        const check::RuleInfo &info = check::InfoFor(check::Rule(r));
        QAction *a = rulesMenu->addAction(
            MenuText(QLatin1String(info.id) + QStringLiteral("  ") + QLatin1String(info.summary)));
        a->setCheckable(true);
        a->setChecked(true);
        a->setData(r);
        connect(a, &QAction::toggled, this, [this] { applyRules(); });
    }
    rulesButton->setMenu(rulesMenu);
    reportButton = new QPushButton(QStringLiteral("Save Report..."), this);
    reportButton->setObjectName(QStringLiteral("reportButton"));
    reportButton->setAccessibleName(QStringLiteral("Save report"));
    connect(reportButton, &QPushButton::clicked, this, [this] { saveReport(); });
    connect(profileBox, &QComboBox::currentIndexChanged, this, [this] { applyRules(); });
    openButton = new QPushButton(QStringLiteral("&Open..."), this);
    openButton->setObjectName(QStringLiteral("openButton"));
    openButton->setAccessibleName(QStringLiteral("Open a log or a capture"));
    openButton->setToolTip(
        QStringLiteral("Show a saved log or a packet capture here; the live traffic goes on"));
    connect(openButton, &QPushButton::clicked, this, [this] { openFile(); });
    liveButton = new QPushButton(QStringLiteral("Back to &live"), this);
    liveButton->setObjectName(QStringLiteral("liveButton"));
    liveButton->setAccessibleName(QStringLiteral("Back to the live traffic"));
    liveButton->hide();
    connect(liveButton, &QPushButton::clicked, this, [this] { backToLive(); });
    sourceLabel = new QLabel(this);
    sourceLabel->setObjectName(QStringLiteral("sourceLabel"));
    sourceLabel->setAccessibleName(QStringLiteral("File shown"));
    sourceLabel->setTextFormat(Qt::PlainText);
    sourceLabel->hide();
    auto *profileLabel = new QLabel(QStringLiteral("&Profile:"), this);
    profileLabel->setBuddy(profileBox);

    auto *top = new QHBoxLayout;
    top->addWidget(liveBox);
    top->addWidget(profileLabel);
    top->addWidget(profileBox);
    top->addWidget(rulesButton);
    top->addStretch(1);
    top->addWidget(openButton);
    top->addWidget(liveButton);
    top->addWidget(reportButton);

    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("tabs"));
    tabs->setAccessibleName(QStringLiteral("Inspector panes"));

    // Transactions.
    auto *txnPage = new QWidget(tabs);
    filterEdit = new QLineEdit(txnPage);
    filterEdit->setObjectName(QStringLiteral("filterEdit"));
    filterEdit->setAccessibleName(QStringLiteral("Filter transactions by text"));
    filterEdit->setPlaceholderText(QStringLiteral("Filter: tag, command or result"));
    filterEdit->setClearButtonEnabled(true);
    legBox = new QComboBox(txnPage);
    legBox->setObjectName(QStringLiteral("legBox"));
    legBox->setAccessibleName(QStringLiteral("Filter transactions by leg"));
    legBox->addItem(QStringLiteral("Both legs"), -1);
    legBox->addItem(QStringLiteral("Operator"), int(check::Leg::Operator));
    legBox->addItem(QStringLiteral("Relay"), int(check::Leg::Relay));
    onlyFindingsBox = new QCheckBox(QStringLiteral("Only with findings"), txnPage);
    onlyFindingsBox->setObjectName(QStringLiteral("onlyFindingsBox"));
    onlyFindingsBox->setAccessibleName(QStringLiteral("Only transactions with findings"));
    connect(filterEdit, &QLineEdit::textChanged, this, [this] { applyFilter(); });
    connect(legBox, &QComboBox::currentIndexChanged, this, [this] { applyFilter(); });
    connect(onlyFindingsBox, &QCheckBox::toggled, this, [this] { applyFilter(); });
    transactionView = MakeTable(txnPage, txnModel, QStringLiteral("Transactions"));
    transactionView->setToolTip(QStringLiteral("Double-click a row to show its command in the traffic log"));
    QHeaderView *h = transactionView->horizontalHeader();
    h->resizeSection(TransactionModel::ColLeg, 80);
    h->resizeSection(TransactionModel::ColTag, 56);
    h->resizeSection(TransactionModel::ColCommand, 300);
    h->resizeSection(TransactionModel::ColSent, 96);
    // The short columns as wide as their longest text, the result whole.
    const QFontMetrics fm = transactionView->fontMetrics();
    h->resizeSection(TransactionModel::ColLines, fm.horizontalAdvance(QStringLiteral("Lines 00000")));
    h->resizeSection(TransactionModel::ColToAck, fm.horizontalAdvance(QStringLiteral("Time to '&' 00")));
    h->resizeSection(TransactionModel::ColToDone, fm.horizontalAdvance(QStringLiteral("Time to '%' 00")));
    h->resizeSection(TransactionModel::ColResult,
                     fm.horizontalAdvance(QStringLiteral("no '%' (dropped) 0000")));
    connect(transactionView, &QTableView::doubleClicked, this, [this](const QModelIndex &index) {
        if (const TxnRow *r = txnModel->rowAt(index.row()); r && r->logLine >= 0 && !showingFile())
            Q_EMIT showLogLine(r->logLine);
    });
    auto *filters = new QHBoxLayout;
    filters->addWidget(filterEdit, 1);
    filters->addWidget(legBox);
    filters->addWidget(onlyFindingsBox);
    auto *txnLayout = new QVBoxLayout(txnPage);
    txnLayout->addLayout(filters);
    txnLayout->addWidget(transactionView, 1);
    tabs->insertTab(TransactionsPane, txnPage, QStringLiteral("&Transactions"));

    // Findings: the count by severity and rule, and the findings themselves.
    auto *findPage = new QWidget(tabs);
    summaryView = MakeTable(findPage, summaryModel, QStringLiteral("Findings by severity and rule"));
    summaryView->setToolTip(QStringLiteral("Select a row to list only its findings"));
    // A tree: the findings that follow from one sit under it.
    findingView = new QTreeView(findPage);
    findingView->setObjectName(QStringLiteral("Findings"));
    findingView->setAccessibleName(QStringLiteral("Findings"));
    findingView->setModel(findingModel);
    findingView->setSelectionBehavior(QAbstractItemView::SelectRows);
    findingView->setSelectionMode(QAbstractItemView::SingleSelection);
    findingView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    findingView->setWordWrap(false);
    findingView->setAlternatingRowColors(true);
    findingView->setUniformRowHeights(true); // no row is measured, however many there are
    findingView->setAllColumnsShowFocus(true);
    findingView->header()->setStretchLastSection(true);
    findingView->setToolTip(
        QStringLiteral("Click a finding to show its line in the traffic log; the findings "
                       "that follow from one sit under it"));
    QHeaderView *fh = findingView->header();
    fh->resizeSection(FindingModel::ColTime, 120);
    fh->resizeSection(FindingModel::ColSeverity, 70);
    fh->resizeSection(FindingModel::ColRule, 110);
    fh->resizeSection(FindingModel::ColLeg, 70);
    fh->resizeSection(FindingModel::ColFrom, 96);
    fh->resizeSection(FindingModel::ColSentence, 480);
    findingsNote = new QLabel(findPage);
    findingsNote->setObjectName(QStringLiteral("findingsNote"));
    findingsNote->setAccessibleName(QStringLiteral("Findings kept"));
    connect(summaryView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { summarySelected(); });
    connect(findingView, &QTreeView::clicked, this, [this](const QModelIndex &index) {
        if (const FindingRow *r = findingModel->rowAt(index); r && r->logLine >= 0 && !showingFile())
            Q_EMIT showLogLine(r->logLine);
    });
    watchFindings(findingModel);
    findingView->expandAll();
    ruleExplanation = new QLabel(findPage);
    ruleExplanation->setObjectName(QStringLiteral("ruleExplanation"));
    ruleExplanation->setAccessibleName(QStringLiteral("What the selected rule means"));
    ruleExplanation->setWordWrap(true);
    ruleExplanation->setTextFormat(Qt::PlainText);
    ruleExplanation->setText(QStringLiteral("Select a rule above to see who breaks it and what to change."));
    auto *split = new QSplitter(Qt::Vertical, findPage);
    split->addWidget(summaryView);
    split->addWidget(ruleExplanation);
    split->addWidget(findingView);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 3);
    auto *findLayout = new QVBoxLayout(findPage);
    findLayout->addWidget(split, 1);
    findLayout->addWidget(findingsNote);
    tabs->insertTab(FindingsPane, findPage, QStringLiteral("&Findings"));

    // Timing.
    auto *timePage = new QWidget(tabs);
    statsView = MakeTable(timePage, statsModel, QStringLiteral("Timing per method"));
    statsView->horizontalHeader()->resizeSection(StatsModel::ColMethod, 150);
    // A handful of rows: every column as wide as its contents, the last
    // ones in view at the window's first size.
    for (int col = StatsModel::ColCount; col < StatsModel::ColumnCount; ++col)
        statsView->horizontalHeader()->setSectionResizeMode(col, QHeaderView::ResizeToContents);
    statsView->horizontalHeader()->setStretchLastSection(false);
    totalsLabel = new QLabel(timePage);
    totalsLabel->setObjectName(QStringLiteral("totalsLabel"));
    totalsLabel->setAccessibleName(QStringLiteral("Totals per leg"));
    timeline = new TimelineView(ins, timePage);
    timeline->setObjectName(QStringLiteral("timeline"));
    spanBox = new QComboBox(timePage);
    spanBox->setObjectName(QStringLiteral("spanBox"));
    spanBox->setAccessibleName(QStringLiteral("Timeline span"));
    spanBox->addItem(QStringLiteral("Fit the traffic"), 0);
    for (int seconds : {10, 60, 300, 900})
        spanBox->addItem(seconds < 60 ? QStringLiteral("Last %1 s").arg(seconds)
                                      : QStringLiteral("Last %1 min").arg(seconds / 60),
                         seconds);
    // Chosen again, "Fit the traffic" fits anew after a zoom or a drag.
    connect(spanBox, &QComboBox::activated, this,
            [this] { timeline->setSpan(qint64(spanBox->currentData().toInt()) * 1000000); });
    timeSplit = new QSplitter(Qt::Vertical, timePage);
    timeSplit->addWidget(statsView);
    timeSplit->addWidget(timeline);
    timeSplit->setStretchFactor(0, 1);
    timeSplit->setStretchFactor(1, 2);
    connect(timeline, &TimelineView::showLogLine, this, &InspectorWindow::showLogLine);
    auto *timeBar = new QHBoxLayout;
    timeBar->addWidget(totalsLabel, 1);
    timeBar->addWidget(spanBox);
    auto *timeLayout = new QVBoxLayout(timePage);
    timeLayout->addWidget(timeSplit, 1);
    timeLayout->addLayout(timeBar);
    tabs->insertTab(TimingPane, timePage, QStringLiteral("Ti&ming"));
    tabs->addTab(new ReplayPage(tabs), QStringLiteral("&Replay"));
    connect(tabs, &QTabWidget::currentChanged, this, [this] { refreshTiming(); });

    live.txn = txnModel;
    live.finding = findingModel;
    live.summary = summaryModel;
    live.stats = statsModel;
    live.timeline = timeline;

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(sourceLabel);
    layout->addWidget(tabs, 1);

    ageTimer = new QTimer(this);
    ageTimer->setInterval(AgeTickMs);
    connect(ageTimer, &QTimer::timeout, this, [this] {
        txnModel->tick();
        updateTitle();
    });
    timingTimer = new QTimer(this);
    timingTimer->setInterval(TimingTickMs);
    connect(timingTimer, &QTimer::timeout, this, [this] { refreshTiming(); });
    // Hidden, the views wait: they catch up when shown.
    connect(live.ins, &LiveInspector::updated, this, [this] {
        if (isVisible())
            refresh();
    });
    connect(ins, &LiveInspector::logLinesForgotten, this, [this] { findingView->viewport()->update(); });

    refresh();
}

InspectorWindow::~InspectorWindow()
{
    stopReading();
}

void InspectorWindow::refresh()
{
    txnModel->refresh();
    findingModel->refresh();
    summaryModel->refresh();
    const quint64 dropped = ins->droppedFindings();
    QString note = dropped ? QStringLiteral("The last %1 findings are listed; %2 older ones were dropped.")
                                 .arg(ins->findingsEnd() - ins->findingsBegin())
                                 .arg(dropped)
                           : CountText(qint64(ins->findingsEnd()), "finding.", "findings.");
    if (const qint64 followOns = ins->followOnCount())
        note += QStringLiteral(" %1 from an earlier finding, and sit under it.")
                    .arg(CountText(followOns, "follows", "follow"));
    if (const qint64 unlisted = ins->unlistedFindings())
        note += QStringLiteral(" %1 more were counted but not listed: their rule gave more than %2 a second.")
                    .arg(unlisted)
                    .arg(LiveInspector::FloodPerSecond);
    findingsNote->setText(note);
    updateTitle();
}

void InspectorWindow::updateTitle()
{
    if (showingFile()) {
        setWindowTitle(QStringLiteral("Torvane Inspector - %1 - %2 open, %3")
                           .arg(QFileInfo(filePath).fileName())
                           .arg(ins->openCount())
                           .arg(FindingsText(ins)));
        return;
    }
    setWindowTitle(QStringLiteral("Torvane Inspector - %1 open, %2%3")
                       .arg(ins->openCount())
                       .arg(FindingsText(ins))
                       .arg(ins->live() ? QString() : QStringLiteral(", not checking")));
}

// A root cause's follow-ons are shown as they come.
void InspectorWindow::watchFindings(FindingModel *model)
{
    connect(model, &QAbstractItemModel::rowsInserted, findingView, [this, model](const QModelIndex &parent) {
        if (parent.isValid() && findingView->model() == model)
            findingView->expand(parent);
    });
    connect(model, &QAbstractItemModel::modelReset, findingView, [this, model] {
        if (findingView->model() == model)
            findingView->expandAll();
    });
}

void InspectorWindow::refreshTiming()
{
    if (tabs->currentIndex() != TimingPane && isVisible())
        return;
    statsModel->refresh();
    totalsLabel->setText(totalsText());
    timeline->update();
}

QString InspectorWindow::totalsText() const
{
    QStringList parts;
    for (check::Leg leg : {check::Leg::Operator, check::Leg::Relay}) {
        const check::LegTotals &t = ins->checker().totals(leg);
        QString text = QStringLiteral("%1: %2, %3 completed, %4 aborted, %5 open, %6, %7")
                           .arg(LegTitle(leg), CountText(t.commands, "command", "commands"))
                           .arg(t.completed)
                           .arg(t.aborted)
                           .arg(t.open)
                           .arg(CountText(t.errorLines, "error line", "error lines"),
                                CountText(t.events, "event", "events"));
        if (t.malformed)
            text += QStringLiteral(", ")
                + CountText(t.malformed, "line that is no command", "lines that are no command");
        if (t.stray)
            text += QStringLiteral(", ")
                + CountText(t.stray, "server line matching no command", "server lines matching no command");
        parts << text;
    }
    return parts.join(QStringLiteral("\n"));
}

void InspectorWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    ageTimer->start();
    timingTimer->start();
    refresh();
    refreshTiming();
}

void InspectorWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    ageTimer->stop();
    timingTimer->stop();
}

void InspectorWindow::applyFilter()
{
    std::optional<check::Leg> leg;
    if (legBox->currentData().toInt() >= 0)
        leg = check::Leg(legBox->currentData().toInt());
    txnModel->setFilter(filterEdit->text().trimmed(), leg, onlyFindingsBox->isChecked());
}

void InspectorWindow::summarySelected()
{
    const QModelIndexList rows = summaryView->selectionModel()->selectedRows();
    const FindingSummaryModel::Entry *e = rows.isEmpty() ? nullptr : summaryModel->rowAt(rows.first().row());
    if (e) {
        findingModel->setFilter(e->rule, e->severity);
        const check::Explanation &x = check::RuleExplanation(e->rule);
        ruleExplanation->setText(QStringLiteral("%1: %2\nWhat it leads to: %3\nWhat to change: %4")
                                     .arg(QLatin1String(check::RuleId(e->rule)), QLatin1String(x.who),
                                          QLatin1String(x.effect), QLatin1String(x.fix)));
    } else {
        findingModel->setFilter(std::nullopt, std::nullopt);
        ruleExplanation->setText(
            QStringLiteral("Select a rule above to see who breaks it and what to change."));
    }
}

void InspectorWindow::applyRules()
{
    check::RuleSet rules(check::Profile(profileBox->currentData().toInt()));
    for (QAction *a : rulesMenu->actions())
        rules.set(check::Rule(a->data().toInt()), a->isChecked());
    live.ins->setRules(rules);
    // A file shown is read again under the new rules.
    if (showingFile()
        && (rules.profile != fileIns->rules().profile || rules.enabled != fileIns->rules().enabled))
        openFile(filePath);
}

void InspectorWindow::applySettings(const InspectorSettings &s)
{
    if (!s.geometry.isNull()) {
        move(s.geometry.topLeft());
        resize(s.geometry.size());
    }
    {
        const QSignalBlocker b(liveBox);
        liveBox->setChecked(s.live);
    }
    live.ins->setLive(s.live);
    const QSignalBlocker block(profileBox);
    profileBox->setCurrentIndex(qMax(0, profileBox->findData(int(s.rules.profile))));
    for (QAction *a : rulesMenu->actions()) {
        const QSignalBlocker b(a);
        a->setChecked(s.rules.on(check::Rule(a->data().toInt())));
    }
    applyRules();
    folder = s.folder;
}

QString InspectorWindow::askSaveFileName(const QString &title, const QString &filter)
{
    SetNextDialogFolder(folder);
    const QString path = hooks.saveFileName(title, filter);
    if (!path.isEmpty())
        folder = QFileInfo(path).absolutePath();
    return path;
}

InspectorSettings InspectorWindow::settings() const
{
    InspectorSettings s;
    s.present = true;
    s.geometry = QRect(pos(), size());
    s.rules = live.ins->rules();
    s.live = live.ins->live();
    s.folder = folder;
    return s;
}

void InspectorWindow::openFile()
{
    if (!hooks.openFileName)
        return;
    SetNextDialogFolder(folder);
    const QString path = hooks.openFileName(
        QStringLiteral("Open a log or a capture"),
        QStringLiteral("Logs and captures|*.txt;*.log;*.pcap;*.pcapng;*.cap|All files|*"), true);
    if (path.isEmpty())
        return;
    folder = QFileInfo(path).absolutePath();
    openFile(path);
}

bool InspectorWindow::openFile(const QString &path)
{
    stopReading();
    auto *target = new LiveInspector(this);
    target->setRules(live.ins->rules());
    auto *r = new OfflineReader(target, this);
    if (!r->start(path)) {
        const QString why = r->error();
        delete r;
        delete target;
        if (hooks.message)
            hooks.message(QMessageBox::Warning, QStringLiteral("Open"),
                          QStringLiteral("%1 cannot be shown in the inspector. %2")
                              .arg(QDir::toNativeSeparators(path), why));
        return false;
    }
    reader = r;
    pendingIns = target;
    const QString label = QStringLiteral("Reading %1...").arg(QFileInfo(path).fileName());
    connect(r, &OfflineReader::progressed, this, [this, label](qint64 done, qint64 total) {
        // The last call, with done == total, is the caller's: it takes the display away.
        if (hooks.progress && done < total && !hooks.progress(label, done, total))
            stopReading();
    });
    connect(r, &OfflineReader::finished, this, [this, path](bool ok) { fileRead(ok, path); });
    return true;
}

void InspectorWindow::stopReading()
{
    if (!reader)
        return;
    if (hooks.progress)
        hooks.progress(QString(), 1, 1);
    reader->cancel();
    reader->deleteLater();
    reader = nullptr;
    pendingIns->deleteLater();
    pendingIns = nullptr;
}

void InspectorWindow::fileRead(bool ok, const QString &path)
{
    if (hooks.progress)
        hooks.progress(QString(), 1, 1);
    OfflineReader *r = reader;
    LiveInspector *target = pendingIns;
    reader = nullptr;
    pendingIns = nullptr;
    r->deleteLater();
    if (!ok) {
        target->deleteLater();
        if (hooks.message)
            hooks.message(QMessageBox::Warning, QStringLiteral("Open"),
                          QStringLiteral("%1 cannot be shown in the inspector. %2")
                              .arg(QDir::toNativeSeparators(path), r->error()));
        return;
    }
    const QString what = r->description();
    backToLive();
    filePath = path;
    fileIns = target;
    file = makePanes(target);
    connect(target, &LiveInspector::updated, this, [this] {
        if (isVisible())
            refresh();
    });
    showPanes(file);
    sourceLabel->setText(
        QStringLiteral("Showing %1. The live traffic is still checked; \"Back to live\" shows it.")
            .arg(what));
    sourceLabel->show();
    liveButton->show();
    updateTitle();
}

void InspectorWindow::backToLive()
{
    if (!fileIns)
        return;
    showPanes(live);
    file.txn->deleteLater();
    file.finding->deleteLater();
    file.summary->deleteLater();
    file.stats->deleteLater();
    file.timeline->deleteLater();
    fileIns->deleteLater();
    fileIns = nullptr;
    file = Panes();
    sourceLabel->hide();
    liveButton->hide();
    updateTitle();
}

InspectorWindow::Panes InspectorWindow::makePanes(LiveInspector *to)
{
    Panes p;
    p.ins = to;
    p.txn = new TransactionModel(to, this);
    p.finding = new FindingModel(to, this);
    watchFindings(p.finding);
    p.summary = new FindingSummaryModel(to, this);
    p.stats = new StatsModel(to, this);
    p.timeline = new TimelineView(to);
    p.timeline->setObjectName(QStringLiteral("timeline"));
    return p;
}

void InspectorWindow::showPanes(const Panes &p)
{
    ins = p.ins;
    txnModel = p.txn;
    findingModel = p.finding;
    summaryModel = p.summary;
    statsModel = p.stats;
    // The views keep their column widths across the change of model.
    auto swap = [](QTableView *view, QAbstractItemModel *model) {
        const QByteArray state = view->horizontalHeader()->saveState();
        view->setModel(model);
        view->horizontalHeader()->restoreState(state);
    };
    swap(transactionView, txnModel);
    {
        const QByteArray state = findingView->header()->saveState();
        findingView->setModel(findingModel);
        findingView->header()->restoreState(state);
        findingView->expandAll();
    }
    swap(summaryView, summaryModel);
    swap(statsView, statsModel);
    connect(summaryView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { summarySelected(); });
    if (timeSplit->widget(1) != p.timeline) {
        QWidget *old = timeSplit->replaceWidget(1, p.timeline);
        if (old) {
            // Put away, not shown: the live one comes back, a file's is deleted.
            old->hide();
            old->setParent(this);
        }
    }
    timeline = p.timeline;
    timeline->setSpan(qint64(spanBox->currentData().toInt()) * 1000000);
    timeline->show();
    applyFilter();
    summarySelected();
    refresh();
    refreshTiming();
}

} // namespace inspect
