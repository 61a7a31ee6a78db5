#pragma once
// The inspector: a top-level window of its own beside the main window, with
// the transactions, the findings and the timing of the live inspection, the
// checker's profile and rule switches, and the report. Its panes can show a
// saved log or a capture instead, read into an inspector of its own, while
// the live one goes on checking unseen.

#include "app/hooks.h"
#include "inspect/inspectorsettings.h"

#include <QByteArray>
#include <QWidget>

#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSplitter;
class QTabWidget;
class QTableView;
class QTreeView;
class QTimer;
class QToolButton;

namespace inspect {

// "1 finding", "2 findings".
QString CountText(qint64 n, const char *one, const char *many);
class LiveInspector;
// The findings counted: "3 findings", or "2 root causes (4 follow-ons)".
QString FindingsText(const LiveInspector *ins);
// A line's bytes as text: non-printing ones escaped (\r, \x07, a backslash doubled).
QString EscapedLine(QByteArrayView bytes);

class FindingModel;
class FindingSummaryModel;
class LiveInspector;
class OfflineReader;
class StatsModel;
class TimelineView;
class TransactionModel;

class InspectorWindow : public QWidget {
    Q_OBJECT
public:
    // `hooks`: the save-file dialog and the message box of the main window.
    InspectorWindow(LiveInspector *inspector, FormHooks hooks, QWidget *parent = nullptr);
    ~InspectorWindow() override;

    void applySettings(const InspectorSettings &settings);
    InspectorSettings settings() const;

    // The report as one HTML page: findings, statistics, the timeline picture.
    QString reportHtml() const;
    // A traffic-log line's bytes, for the report's context; none when the
    // log has no such line. Set by the main window.
    std::function<std::optional<QByteArray>(int logLine)> logLineBytes;

    // A save-file dialog that opens where the last file went, and remembers
    // the folder of the one chosen.
    QString askSaveFileName(const QString &title, const QString &filter);
    // Asks for a file name and saves the report there; false when cancelled or failed.
    bool saveReport();

    // Asks for a saved log or a capture and reads it into the panes in place
    // of the live traffic, which goes on underneath; a file that cannot be
    // read gets a message and changes nothing.
    void openFile();
    // The same without asking.
    bool openFile(const QString &path);
    // The panes show the live traffic again.
    void backToLive();
    bool showingFile() const { return fileIns != nullptr; }
    bool readingFile() const { return reader != nullptr; }

    // Brings the views up to date now (they follow on a timer otherwise).
    void refresh();
    void updateTitle();

    TransactionModel *transactions() const { return txnModel; }
    FindingModel *findings() const { return findingModel; }
    FindingSummaryModel *summary() const { return summaryModel; }
    StatsModel *stats() const { return statsModel; }

    // Controls, public for the tests as the main window's are.
    QTabWidget *tabs = nullptr;
    QCheckBox *liveBox = nullptr;
    QComboBox *profileBox = nullptr;
    QToolButton *rulesButton = nullptr;
    QMenu *rulesMenu = nullptr;
    QPushButton *reportButton = nullptr;
    QPushButton *openButton = nullptr;
    QPushButton *liveButton = nullptr; // "Back to live", while a file is shown
    QLabel *sourceLabel = nullptr; // the file shown
    QLineEdit *filterEdit = nullptr;
    QComboBox *legBox = nullptr;
    QCheckBox *onlyFindingsBox = nullptr;
    QTableView *transactionView = nullptr;
    QTableView *summaryView = nullptr;
    QTreeView *findingView = nullptr; // root causes, their follow-ons under them
    QLabel *findingsNote = nullptr;
    QLabel *ruleExplanation = nullptr; // the selected rule: who, effect, what to change
    QTableView *statsView = nullptr;
    QLabel *totalsLabel = nullptr;
    QComboBox *spanBox = nullptr;
    TimelineView *timeline = nullptr;

Q_SIGNALS:
    // The operator asked to see this traffic-log line.
    void showLogLine(int logLine);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void applyFilter();
    void applyRules();
    void summarySelected();
    void refreshTiming();
    QString totalsText() const;
    // The panes read from the inspector `to` with these models and timeline.
    struct Panes {
        LiveInspector *ins = nullptr;
        TransactionModel *txn = nullptr;
        FindingModel *finding = nullptr;
        FindingSummaryModel *summary = nullptr;
        StatsModel *stats = nullptr;
        TimelineView *timeline = nullptr;
    };
    Panes makePanes(LiveInspector *to);
    void showPanes(const Panes &p);
    void fileRead(bool ok, const QString &path);
    void stopReading();
    QString findingDetailsHtml() const;
    void watchFindings(FindingModel *model);

    LiveInspector *ins; // the inspector the panes show
    Panes live; // the live traffic's
    LiveInspector *fileIns = nullptr; // a file's, while one is shown or read
    Panes file;
    LiveInspector *pendingIns = nullptr; // the file's being read
    OfflineReader *reader = nullptr; // while a file is read
    QString filePath;
    QSplitter *timeSplit = nullptr;
    FormHooks hooks;
    TransactionModel *txnModel = nullptr;
    FindingModel *findingModel = nullptr;
    FindingSummaryModel *summaryModel = nullptr;
    StatsModel *statsModel = nullptr;
    QTimer *ageTimer = nullptr;
    QTimer *timingTimer = nullptr;
    QString folder; // of the last file chosen
};

} // namespace inspect
