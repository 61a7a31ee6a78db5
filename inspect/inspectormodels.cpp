#include "inspect/inspectormodels.h"

#include "log/timestamp.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>

#include <algorithm>

namespace inspect {

QColor SeverityColour(check::Severity s)
{
    switch (s) {
    case check::Severity::Error:
        return QColor(200, 0, 0);
    case check::Severity::Warning:
        return QColor(190, 120, 0);
    default:
        return QColor(0, 90, 170);
    }
}

namespace {

QString SeverityTitle(check::Severity s)
{
    return QLatin1String(check::SeverityName(s));
}

} // namespace

QString TimeText(const LiveInspector *ins, qint64 us)
{
    if (us < 0)
        return QString();
    static const QChar separator = LocaleTimeSeparator();
    return FormatTimeStampPrefix(QDateTime::fromMSecsSinceEpoch(ins->wallMs(us)).time(), separator).trimmed();
}

QString FormatDuration(qint64 us)
{
    if (us < 0)
        return QString();
    if (us < 1000)
        return QStringLiteral("%1 us").arg(us);
    if (us < 1000000)
        return QStringLiteral("%1 ms").arg(double(us) / 1000.0, 0, 'f', us < 10000 ? 2 : 1);
    return QStringLiteral("%1 s").arg(double(us) / 1e6, 0, 'f', us < 10000000 ? 2 : 1);
}

QString LegTitle(check::Leg leg)
{
    return leg == check::Leg::Operator ? QStringLiteral("Operator") : QStringLiteral("Relay");
}

QString OutcomeText(const LiveInspector *ins, const TxnRow &row)
{
    QString text;
    switch (row.outcome) {
    case TxnOutcome::Open:
        text = QStringLiteral("open");
        break;
    case TxnOutcome::Ok:
        text =
            row.kind == check::TxnKind::Stray ? QStringLiteral("matches no command") : QStringLiteral("ok");
        break;
    case TxnOutcome::Error:
        text = QString::fromLatin1(ins->errorText(row));
        if (row.kind == check::TxnKind::Stray)
            text = QStringLiteral("matches no command: ") + text;
        break;
    case TxnOutcome::Aborted:
        text = QStringLiteral("aborted");
        break;
    case TxnOutcome::Dropped:
        text = row.kind == check::TxnKind::Malformed ? QStringLiteral("no command, unanswered")
                                                     : QStringLiteral("no '%' (dropped)");
        break;
    }
    if (row.kind == check::TxnKind::Malformed && row.outcome == TxnOutcome::Open)
        text = QStringLiteral("no command, waiting");
    if (row.finding)
        text.prepend(QStringLiteral("[finding] "));
    return text;
}

// ---------------------------------------------------------------- following serials

void SerialFollowingModel::rebuildSerials(quint64 begin, quint64 end, const Matches &matches)
{
    matches_ = matches;
    filtered_ = bool(matches_);
    serials_.clear();
    begin_ = begin;
    end_ = end;
    if (filtered_)
        for (quint64 s = begin; s < end; ++s)
            if (matches_(s))
                serials_.push_back(s);
    scanned_ = end;
}

void SerialFollowingModel::followSerials(int top, quint64 begin, quint64 end)
{
    if (filtered_) {
        std::vector<quint64> fresh;
        for (quint64 s = qMax(scanned_, begin); s < end; ++s)
            if (matches_(s))
                fresh.push_back(s);
        scanned_ = end;
        if (!fresh.empty()) {
            beginInsertRows(QModelIndex(), top, top + int(fresh.size()) - 1);
            serials_.insert(serials_.end(), fresh.begin(), fresh.end());
            endInsertRows();
        }
        size_t gone = 0;
        while (gone < serials_.size() && serials_[gone] < begin)
            ++gone;
        if (gone > 0) {
            const int bottom = top + serialRows();
            beginRemoveRows(QModelIndex(), bottom - int(gone), bottom - 1);
            serials_.erase(serials_.begin(), serials_.begin() + qsizetype(gone));
            endRemoveRows();
        }
        return;
    }
    if (end > end_) {
        beginInsertRows(QModelIndex(), top, top + int(end - end_) - 1);
        end_ = end;
        endInsertRows();
    }
    const quint64 newBegin = qMin(begin, end_);
    if (newBegin > begin_) {
        const int bottom = top + serialRows();
        beginRemoveRows(QModelIndex(), bottom - int(newBegin - begin_), bottom - 1);
        begin_ = newBegin;
        endRemoveRows();
    }
}

// ---------------------------------------------------------------- transactions

TransactionModel::TransactionModel(const LiveInspector *inspector, QObject *parent)
    : SerialFollowingModel(parent), ins(inspector)
{
    rebuild();
}

int TransactionModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(open_.size()) + serialRows();
}

int TransactionModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

const TxnRow *TransactionModel::rowAt(int row) const
{
    if (row < 0)
        return nullptr;
    if (row < int(open_.size()))
        return &open_[size_t(row)];
    row -= int(open_.size());
    if (row >= serialRows())
        return nullptr;
    const quint64 serial = serialAt(row);
    if (serial < ins->completedBegin() || serial >= ins->completedEnd())
        return nullptr; // dropped since the last refresh
    return &ins->completedRow(serial);
}

QVariant TransactionModel::data(const QModelIndex &index, int role) const
{
    const TxnRow *r = rowAt(index.row());
    if (!r)
        return QVariant();
    if (role == Qt::ForegroundRole) {
        if (r->outcome == TxnOutcome::Error || r->outcome == TxnOutcome::Aborted
            || r->outcome == TxnOutcome::Dropped)
            return QBrush(SeverityColour(check::Severity::Error));
        if (r->finding && index.column() == ColResult)
            return QBrush(SeverityColour(check::Severity::Warning));
        return QVariant();
    }
    if (role == Qt::FontRole || role == Qt::BackgroundRole) {
        if (role == Qt::BackgroundRole && r->outcome == TxnOutcome::Open)
            return QBrush(QColor(255, 250, 215));
        return QVariant();
    }
    if (role == Qt::ToolTipRole && index.column() == ColCommand)
        return QString::fromLatin1(ins->commandText(*r)) + QStringLiteral("\nlog line ")
            + LogLineText(r->logLine);
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return QVariant();
    switch (index.column()) {
    case ColLeg:
        return LegTitle(r->leg) + (r->own ? QStringLiteral(" (own)") : QString());
    case ColTag:
        return QString::fromLatin1(r->tag());
    case ColCommand: {
        // The command without its tag; a line without a well-formed tag whole.
        const QByteArray command = ins->commandText(*r), tag = r->tag();
        const bool tagged =
            !tag.isEmpty() && command.size() > 6 && command.startsWith(tag) && command[5] == ' ';
        const QString text =
            QString::fromLatin1(tagged ? QByteArrayView(command).sliced(6) : QByteArrayView(command));
        if (r->kind == check::TxnKind::Stray)
            return QStringLiteral("(server) ") + text;
        return text;
    }
    case ColSent:
        return TimeText(ins, r->tSent);
    case ColToAck:
        if (r->tAck >= 0 && r->tSent >= 0)
            return FormatDuration(r->tAck - r->tSent);
        return QVariant();
    case ColToDone:
        if (r->outcome == TxnOutcome::Open && r->tSent >= 0)
            return QStringLiteral("(%1)").arg(FormatDuration(ins->nowUs() - r->tSent));
        if (r->tDone >= 0 && r->tSent >= 0)
            return FormatDuration(r->tDone - r->tSent);
        return QVariant();
    case ColLines:
        return r->lines;
    case ColResult:
        return OutcomeText(ins, *r);
    default:
        return QVariant();
    }
}

QVariant TransactionModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const Titles[] = {"Leg",         "Tag",         "Command", "Sent at",
                                         "Time to '&'", "Time to '%'", "Lines",   "Result"};
    return section >= 0 && section < ColumnCount ? QVariant(QLatin1String(Titles[section])) : QVariant();
}

bool TransactionModel::matches(const TxnRow &row) const
{
    if (leg_ && row.leg != *leg_)
        return false;
    if (onlyFindings_ && !row.finding)
        return false;
    if (text_.isEmpty())
        return true;
    return QLatin1String(ins->commandText(row)).contains(text_, Qt::CaseInsensitive)
        || OutcomeText(ins, row).contains(text_, Qt::CaseInsensitive);
}

void TransactionModel::setFilter(const QString &text, std::optional<check::Leg> leg, bool onlyFindings)
{
    if (text == text_ && leg == leg_ && onlyFindings == onlyFindings_)
        return;
    text_ = text;
    leg_ = leg;
    onlyFindings_ = onlyFindings;
    beginResetModel();
    rebuild();
    endResetModel();
}

// The open transactions the filter lets through, oldest first.
std::vector<TxnRow> TransactionModel::openSnapshot() const
{
    std::vector<TxnRow> rows;
    rows.reserve(size_t(ins->openCount()));
    const bool filter = filtered();
    for (int i = 0; i < ins->openCount(); ++i)
        if (!filter || matches(ins->openRow(i)))
            rows.push_back(ins->openRow(i));
    std::sort(rows.begin(), rows.end(),
              [](const TxnRow &a, const TxnRow &b) { return a.position < b.position; });
    return rows;
}

// Everything anew, for a changed filter (inside a model reset).
void TransactionModel::rebuild()
{
    rebuildSerials(ins->completedBegin(), ins->completedEnd(),
                   filtered() ? Matches([this](quint64 s) { return matches(ins->completedRow(s)); })
                              : Matches());
    open_ = openSnapshot();
    openGeneration_ = ins->openGeneration();
}

void TransactionModel::refresh()
{
    // The open block, from a new snapshot.
    if (openGeneration_ != ins->openGeneration()) {
        std::vector<TxnRow> now = openSnapshot();
        openGeneration_ = ins->openGeneration();
        const int before = int(open_.size()), after = int(now.size());
        if (after > before) {
            beginInsertRows(QModelIndex(), before, after - 1);
            open_.swap(now);
            endInsertRows();
        } else if (after < before) {
            beginRemoveRows(QModelIndex(), after, before - 1);
            open_.swap(now);
            endRemoveRows();
        } else {
            open_.swap(now);
        }
        if (qMin(before, after) > 0)
            Q_EMIT dataChanged(index(0, 0), index(qMin(before, after) - 1, ColumnCount - 1));
    }
    // The completed block below it.
    followSerials(int(open_.size()), ins->completedBegin(), ins->completedEnd());
}

void TransactionModel::tick()
{
    if (!open_.empty())
        Q_EMIT dataChanged(index(0, ColToDone), index(int(open_.size()) - 1, ColToDone));
}

// ---------------------------------------------------------------- findings

FindingModel::FindingModel(const LiveInspector *inspector, QObject *parent)
    : QAbstractItemModel(parent), ins(inspector)
{
    rebuild();
}

// A top-level index has the id 0, a follow-on's its root cause's serial + 1.
QModelIndex FindingModel::index(int row, int column, const QModelIndex &parent) const
{
    if (row < 0 || column < 0 || column >= ColumnCount || row >= rowCount(parent))
        return QModelIndex();
    if (!parent.isValid())
        return createIndex(row, column, quintptr(0));
    return createIndex(row, column, quintptr(serialOf(parent) + 1));
}

QModelIndex FindingModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return QModelIndex();
    const int row = topRowOf(quint64(child.internalId() - 1));
    return row < 0 ? QModelIndex() : createIndex(row, 0, quintptr(0));
}

int FindingModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return int(top_.size());
    if (parent.internalId() != 0 || parent.column() != 0)
        return 0;
    const auto it = children_.constFind(serialOf(parent));
    return it == children_.cend() ? 0 : int(it->size());
}

int FindingModel::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

int FindingModel::topRowOf(quint64 serial) const
{
    const auto it = std::lower_bound(top_.begin(), top_.end(), serial);
    if (it == top_.end() || *it != serial)
        return -1;
    return int(top_.end() - it) - 1;
}

quint64 FindingModel::serialOf(const QModelIndex &index) const
{
    if (index.internalId() == 0)
        return top_[top_.size() - 1 - size_t(index.row())];
    const auto it = children_.constFind(quint64(index.internalId() - 1));
    return it != children_.cend() && size_t(index.row()) < it->size() ? (*it)[size_t(index.row())]
                                                                      : ~quint64(0);
}

const FindingRow *FindingModel::rowAt(const QModelIndex &index) const
{
    if (!index.isValid())
        return nullptr;
    const quint64 serial = serialOf(index);
    if (serial < ins->findingsBegin() || serial >= ins->findingsEnd())
        return nullptr;
    return &ins->findingRow(serial);
}

QVariant FindingModel::data(const QModelIndex &index, int role) const
{
    const FindingRow *r = rowAt(index);
    if (!r)
        return QVariant();
    const check::Finding &f = r->finding;
    if (role == Qt::ForegroundRole && index.column() == ColSeverity)
        return QBrush(SeverityColour(f.severity));
    if (role == Qt::ToolTipRole && index.column() == ColRule)
        return QLatin1String(check::InfoFor(f.rule).summary);
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return QVariant();
    switch (index.column()) {
    case ColTime:
        return TimeText(ins, r->timeUs);
    case ColSeverity:
        return SeverityTitle(f.severity);
    case ColRule:
        return QLatin1String(check::RuleId(f.rule));
    case ColLeg:
        return LegTitle(f.leg);
    case ColFrom:
        if (!r->known)
            return QLatin1String(check::PartyName(f.party));
        if (r->own)
            return QStringLiteral("this program");
        return r->fromServer ? QStringLiteral("server") : QStringLiteral("client");
    case ColSentence:
        return f.text;
    case ColLogLine:
        return r->logLine >= 0 ? QVariant(r->logLine + 1) : QVariant(LogLineText(r->logLine));
    default:
        return QVariant();
    }
}

QVariant FindingModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractItemModel::headerData(section, orientation, role);
    static const char *const Titles[] = {"Time",     "Severity", "Rule",    "Leg",
                                         "At fault", "Finding",  "Log line"};
    return section >= 0 && section < ColumnCount ? QVariant(QLatin1String(Titles[section])) : QVariant();
}

bool FindingModel::matches(const FindingRow &row) const
{
    return (!rule_ || row.finding.rule == *rule_) && (!severity_ || row.finding.severity == *severity_);
}

void FindingModel::setFilter(std::optional<check::Rule> rule, std::optional<check::Severity> severity)
{
    if (rule == rule_ && severity == severity_)
        return;
    rule_ = rule;
    severity_ = severity;
    beginResetModel();
    rebuild();
    endResetModel();
}

void FindingModel::rebuild()
{
    top_.clear();
    children_.clear();
    for (quint64 s = ins->findingsBegin(); s < ins->findingsEnd(); ++s) {
        const FindingRow &r = ins->findingRow(s);
        if (grouped() && r.cause > 0 && topRowOf(r.cause - 1) >= 0)
            children_[r.cause - 1].push_back(s);
        else if (matches(r))
            top_.push_back(s);
    }
    scanned_ = ins->findingsEnd();
}

// New top-level rows go in on top, in one insert.
void FindingModel::insertTop(std::vector<quint64> &fresh)
{
    if (fresh.empty())
        return;
    beginInsertRows(QModelIndex(), 0, int(fresh.size()) - 1);
    top_.insert(top_.end(), fresh.begin(), fresh.end());
    endInsertRows();
    fresh.clear();
}

void FindingModel::refresh()
{
    const quint64 begin = ins->findingsBegin(), end = ins->findingsEnd();
    std::vector<quint64> fresh;
    for (quint64 s = qMax(scanned_, begin); s < end; ++s) {
        const FindingRow &r = ins->findingRow(s);
        if (grouped() && r.cause > 0) {
            const quint64 root = r.cause - 1;
            const bool rootFresh = !fresh.empty() && root >= fresh.front()
                && std::binary_search(fresh.begin(), fresh.end(), root);
            if (rootFresh)
                insertTop(fresh);
            const int row = topRowOf(root);
            if (row >= 0) {
                std::vector<quint64> &under = children_[root];
                beginInsertRows(index(row, 0), int(under.size()), int(under.size()));
                under.push_back(s);
                endInsertRows();
                continue;
            }
        }
        if (matches(r))
            fresh.push_back(s);
    }
    insertTop(fresh);
    scanned_ = end;
    // The dropped ones leave at the bottom, with their follow-ons (which
    // are newer, but shown only under them).
    size_t gone = 0;
    while (gone < top_.size() && top_[gone] < begin)
        ++gone;
    if (gone > 0) {
        const int bottom = int(top_.size());
        beginRemoveRows(QModelIndex(), bottom - int(gone), bottom - 1);
        for (size_t i = 0; i < gone; ++i)
            children_.remove(top_[i]);
        top_.erase(top_.begin(), top_.begin() + qsizetype(gone));
        endRemoveRows();
    }
}

// ---------------------------------------------------------------- summary

FindingSummaryModel::FindingSummaryModel(const LiveInspector *inspector, QObject *parent)
    : QAbstractTableModel(parent), ins(inspector)
{
    refresh();
}

int FindingSummaryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int FindingSummaryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

const FindingSummaryModel::Entry *FindingSummaryModel::rowAt(int row) const
{
    return row >= 0 && row < int(rows_.size()) ? &rows_[size_t(row)] : nullptr;
}

QVariant FindingSummaryModel::data(const QModelIndex &index, int role) const
{
    const Entry *e = rowAt(index.row());
    if (!e)
        return QVariant();
    if (role == Qt::ForegroundRole && index.column() == ColSeverity)
        return QBrush(SeverityColour(e->severity));
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return QVariant();
    switch (index.column()) {
    case ColSeverity:
        return SeverityTitle(e->severity);
    case ColRule:
        return QLatin1String(check::RuleId(e->rule));
    case ColCount:
        return e->count;
    case ColFollowOns:
        return e->followOns;
    case ColAbout:
        return QLatin1String(check::InfoFor(e->rule).summary);
    default:
        return QVariant();
    }
}

QVariant FindingSummaryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const Titles[] = {"Severity", "Rule", "Root causes", "Follow-ons", "Rule says"};
    return section >= 0 && section < ColumnCount ? QVariant(QLatin1String(Titles[section])) : QVariant();
}

void FindingSummaryModel::refresh()
{
    std::vector<Entry> now;
    for (int s = 2; s >= 0; --s)
        for (int r = 0; r < check::RuleCount; ++r) {
            const qint64 n = ins->checker().findingCount(check::Rule(r), check::Severity(s));
            const qint64 followOns = ins->followOnCount(check::Rule(r), check::Severity(s));
            if (n > 0)
                now.push_back({check::Severity(s), check::Rule(r), n - followOns, followOns});
        }
    const bool sameRows = now.size() == rows_.size()
        && std::equal(now.begin(), now.end(), rows_.begin(), [](const Entry &a, const Entry &b) {
                              return a.rule == b.rule && a.severity == b.severity;
                          });
    if (sameRows) {
        rows_.swap(now);
        if (!rows_.empty())
            Q_EMIT dataChanged(index(0, ColCount), index(int(rows_.size()) - 1, ColFollowOns));
        return;
    }
    // A new rule or severity: a handful of rows.
    beginResetModel();
    rows_.swap(now);
    endResetModel();
}

// ---------------------------------------------------------------- statistics

StatsModel::StatsModel(const LiveInspector *inspector, QObject *parent)
    : QAbstractTableModel(parent), ins(inspector)
{
    refresh();
}

int StatsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(methods_.size());
}

int StatsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString StatsModel::text(int row, int column) const
{
    if (row < 0 || row >= int(methods_.size()))
        return QString();
    const int m = methods_[size_t(row)];
    const check::MethodStats &s = ins->checker().methodStats(m);
    switch (column) {
    case ColMethod:
        return QString::fromLatin1(ins->checker().methodName(m));
    case ColCount:
        return QString::number(s.count);
    case ColErrors:
        return QString::number(s.errors);
    case ColAckMedian:
        return FormatDuration(s.toAck.quantile(0.5));
    case ColAckP95:
        return FormatDuration(s.toAck.quantile(0.95));
    case ColAckMax:
        return FormatDuration(s.toAck.max());
    case ColDoneMedian:
        return FormatDuration(s.toDone.quantile(0.5));
    case ColDoneP95:
        return FormatDuration(s.toDone.quantile(0.95));
    case ColDoneMax:
        return FormatDuration(s.toDone.max());
    default:
        return QString();
    }
}

QVariant StatsModel::data(const QModelIndex &index, int role) const
{
    if (role == Qt::TextAlignmentRole && index.column() != ColMethod)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return QVariant();
    return text(index.row(), index.column());
}

QVariant StatsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const Titles[] = {"Method",  "Count",      "Errors",  "'&' median", "'&' p95",
                                         "'&' max", "'%' median", "'%' p95", "'%' max"};
    return section >= 0 && section < ColumnCount ? QVariant(QLatin1String(Titles[section])) : QVariant();
}

void StatsModel::refresh()
{
    std::vector<int> now;
    for (int m = 0; m < ins->checker().methodCount(); ++m)
        if (ins->checker().methodStats(m).count > 0)
            now.push_back(m);
    if (now == methods_) {
        if (!methods_.empty())
            Q_EMIT dataChanged(index(0, 0), index(int(methods_.size()) - 1, ColumnCount - 1));
        return;
    }
    beginResetModel();
    methods_.swap(now);
    endResetModel();
}

} // namespace inspect
