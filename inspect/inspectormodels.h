#pragma once
// The table models of the inspector window, read from a LiveInspector. Each
// follows the inspector's batched `updated` signal with row inserts and
// removals, never a reset of a long table, so that 100,000 rows stay fluid
// and a selection or scroll position survives the traffic.

#include "inspect/liveinspector.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QColor>

#include <functional>
#include <optional>
#include <vector>

namespace inspect {

QString FormatDuration(qint64 us); // "12.3 ms", "1.25 s"; empty for -1
QString LegTitle(check::Leg leg); // "Operator", "Relay"
// A time on the inspector's clock as the traffic log writes its time stamps.
QString TimeText(const LiveInspector *ins, qint64 us);
QString OutcomeText(const LiveInspector *ins, const TxnRow &row);
// A severity's colour, in the tables and the log's marks: readable on the
// light and the dark window colour.
QColor SeverityColour(check::Severity severity);

// A table with a block of rows, from row `top` to the bottom, that follows
// one of the inspector's kept sequences: serials [begin, end), newest on top.
// New serials go in at the block's top and dropped ones leave at its bottom,
// as row inserts and removals. With a filter, only the matching serials are
// shown, each serial looked at once.
class SerialFollowingModel : public QAbstractTableModel {
    Q_OBJECT
protected:
    explicit SerialFollowingModel(QObject *parent) : QAbstractTableModel(parent) { }
    using Matches = std::function<bool(quint64 serial)>;

    int serialRows() const { return filtered_ ? int(serials_.size()) : int(end_ - begin_); }
    // The serial shown in the block's row (0 is its top, the newest).
    quint64 serialAt(int row) const
    {
        return filtered_ ? serials_[serials_.size() - 1 - size_t(row)] : end_ - 1 - quint64(row);
    }
    // Everything anew (inside a model reset); no `matches` for no filter.
    void rebuildSerials(quint64 begin, quint64 end, const Matches &matches);
    // Follows the sequence, now [begin, end), with the block starting at `top`.
    void followSerials(int top, quint64 begin, quint64 end);

private:
    Matches matches_;
    bool filtered_ = false;
    quint64 begin_ = 0, end_ = 0; // unfiltered: the serials shown
    std::vector<quint64> serials_; // filtered: the serials shown, ascending
    quint64 scanned_ = 0; // filtered: serials looked at so far
};

// Open transactions on top (oldest first, their age running), then the
// completed ones, newest first.
class TransactionModel : public SerialFollowingModel {
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
    bool filtered() const { return !text_.isEmpty() || leg_ || onlyFindings_; }
    bool matches(const TxnRow &row) const;
    std::vector<TxnRow> openSnapshot() const;
    void rebuild();

    const LiveInspector *ins;
    std::vector<TxnRow> open_; // snapshot at the last refresh, sorted by time sent
    quint64 openGeneration_ = ~quint64(0);
    QString text_;
    std::optional<check::Leg> leg_;
    bool onlyFindings_ = false;
};

// The kept findings, newest first. Unfiltered, a finding that follows from
// an earlier one sits under its root cause (a tree one level deep, the
// follow-ons in their order); filtered by rule or severity, the matching
// findings are one flat list.
class FindingModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { ColTime, ColSeverity, ColRule, ColLeg, ColFrom, ColSentence, ColLogLine, ColumnCount };

    explicit FindingModel(const LiveInspector *inspector, QObject *parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void setFilter(std::optional<check::Rule> rule, std::optional<check::Severity> severity);
    void refresh();
    // A top-level row's finding, or any index's; nullptr when no longer kept.
    const FindingRow *rowAt(int row) const { return rowAt(index(row, 0)); }
    const FindingRow *rowAt(const QModelIndex &index) const;

private:
    bool grouped() const { return !rule_ && !severity_; }
    bool matches(const FindingRow &row) const;
    void rebuild();
    int topRowOf(quint64 serial) const; // -1 when not a top-level row
    quint64 serialOf(const QModelIndex &index) const;
    void insertTop(std::vector<quint64> &fresh);

    const LiveInspector *ins;
    std::optional<check::Rule> rule_;
    std::optional<check::Severity> severity_;
    std::vector<quint64> top_; // serials of the top-level rows, ascending (row 0 is the last)
    QHash<quint64, std::vector<quint64>> children_; // a root cause's serial -> its follow-ons
    quint64 scanned_ = 0;
};

// Every finding counted, by severity (worst first) and rule.
class FindingSummaryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // The count is of root causes; the follow-ons are counted apart.
    enum Column { ColSeverity, ColRule, ColCount, ColFollowOns, ColAbout, ColumnCount };

    explicit FindingSummaryModel(const LiveInspector *inspector, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void refresh();
    struct Entry {
        check::Severity severity;
        check::Rule rule;
        qint64 count; // root causes
        qint64 followOns;
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
