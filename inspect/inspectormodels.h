#pragma once
// The table models of the inspector window, read from a LiveInspector. Each
// follows the inspector's batched `updated` signal with row inserts and
// removals, never a reset of a long table, so that 100,000 rows stay fluid
// and a selection or scroll position survives the traffic.

#include "inspect/liveinspector.h"

#include <QAbstractTableModel>
#include <QColor>

#include <optional>
#include <vector>

namespace inspect {

QString FormatDuration(qint64 us); // "12.3 ms", "1.25 s"; empty for -1
QString LegTitle(check::Leg leg); // "Operator", "Relay"
QString OutcomeText(const TxnRow &row);
// A severity's colour, in the tables and the log's marks: readable on the
// light and the dark window colour.
QColor SeverityColour(check::Severity severity);

// Open transactions on top (oldest first, their age running), then the
// completed ones, newest first.
class TransactionModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        ColLeg,
        ColTag,
        ColCommand,
        ColSent,
        ColToAck,
        ColToDone,
        ColLines,
        ColResult,
        ColumnCount
    };

    explicit TransactionModel(const LiveInspector *inspector, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Text (in tag, command and result, letter case ignored), leg (none for
    // both), and only the transactions a finding names.
    void setFilter(const QString &text, std::optional<check::Leg> leg, bool onlyFindings);
    // Follows the inspector: new rows in, dropped rows out.
    void refresh();
    // The open rows' age has moved on.
    void tick();
    int openRows() const { return int(open_.size()); }
    // The row's transaction; nullptr when it is no longer kept.
    const TxnRow *rowAt(int row) const;

private:
    bool matches(const TxnRow &row) const;
    int completedRows() const;
    void rebuild();

    const LiveInspector *ins;
    std::vector<TxnRow> open_; // snapshot at the last refresh, sorted by time sent
    quint64 openGeneration_ = ~quint64(0);
    bool filtered_ = false;
    quint64 begin_ = 0, end_ = 0; // unfiltered: the serials shown
    std::vector<quint64> serials_; // filtered: the serials shown, ascending
    quint64 scanned_ = 0; // filtered: serials looked at so far
    QString text_;
    std::optional<check::Leg> leg_;
    bool onlyFindings_ = false;
};

// The kept findings, newest first, optionally of one rule and severity.
class FindingModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColTime, ColSeverity, ColRule, ColLeg, ColFrom, ColSentence, ColLogLine, ColumnCount };

    explicit FindingModel(const LiveInspector *inspector, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void setFilter(std::optional<check::Rule> rule, std::optional<check::Severity> severity);
    void refresh();
    const FindingRow *rowAt(int row) const;

private:
    bool matches(const FindingRow &row) const;
    void rebuild();

    const LiveInspector *ins;
    bool filtered_ = false;
    quint64 begin_ = 0, end_ = 0;
    std::vector<quint64> serials_;
    quint64 scanned_ = 0;
    std::optional<check::Rule> rule_;
    std::optional<check::Severity> severity_;
};

// Every finding counted, by severity (worst first) and rule.
class FindingSummaryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColSeverity, ColRule, ColCount, ColAbout, ColumnCount };

    explicit FindingSummaryModel(const LiveInspector *inspector, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void refresh();
    struct Entry {
        check::Severity severity;
        check::Rule rule;
        qint64 count;
    };
    const Entry *rowAt(int row) const;

private:
    const LiveInspector *ins;
    std::vector<Entry> rows_;
};

// The per-method timing statistics.
class StatsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        ColMethod,
        ColCount,
        ColErrors,
        ColAckMedian,
        ColAckP95,
        ColAckMax,
        ColDoneMedian,
        ColDoneP95,
        ColDoneMax,
        ColumnCount
    };

    explicit StatsModel(const LiveInspector *inspector, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void refresh();
    // The cell's text, as the table and the report show it.
    QString text(int row, int column) const;

private:
    const LiveInspector *ins;
    std::vector<int> methods_; // checker method indices with a completed transaction
};

} // namespace inspect
