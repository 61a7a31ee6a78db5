#pragma once
// The open transactions of one leg, by tag key (checker internals).

#include "check/catalogue.h"
#include "check/protocolchecker.h"

#include <vector>

namespace check {

// One open transaction and what the checker still needs to know of it.
struct OpenTxn {
    Transaction t;
    quint64 seq = 0; // send order on the leg
    const MethodInfo *method = nullptr; // nullptr when the catalogue does not know it
    MethodRole role = {};
    DataKind kind = DataKind::Unknown;
    // Each of these findings once per transaction.
    bool orderReported = false, overlapReported = false, dataReported = false, matchReported = false;
    bool unpaced = false; // its command went out before the '&' it had to wait for
    qint64 noAckLine = -1; // the line of its "before the '&'" finding
    bool hasWant = false;
    QByteArray want; // item names the data must hold (Get, GetProp, PtMeas)
    int pointValues = 0; // scans: values a point holds
    int vectors = 0; // AlignTool, AlignPart: vectors given
    qint64 stopsDaemon = -1; // StopDaemon(Ennnn): n
};

// Open transactions with keys in [base, base + count). Every line looks one
// up, so it is a flat table: a slot per key into a dense array, which also
// keeps iteration proportional to what is open. Removing moves the last
// entry into the gap, so a reference to an entry holds only until the next
// insert or remove.
class OpenTable {
public:
    OpenTable(quint32 base, quint32 count) : base_(base), count_(count) { }

    OpenTxn *find(quint32 key)
    {
        const int i = indexOf(key);
        return i < 0 ? nullptr : &entries_[size_t(i)];
    }
    const OpenTxn *find(quint32 key) const { return const_cast<OpenTable *>(this)->find(key); }
    // A fresh entry for `key`, in place of any open one.
    OpenTxn &insert(quint32 key)
    {
        if (slotOf_.empty())
            slotOf_.assign(count_, -1);
        int &slot = slotOf_[key - base_];
        if (slot >= 0) {
            entries_[size_t(slot)] = OpenTxn();
        } else {
            slot = int(entries_.size());
            entries_.emplace_back();
        }
        OpenTxn &entry = entries_[size_t(slot)];
        entry.t.key = key;
        return entry;
    }
    OpenTxn &insert(const OpenTxn &value)
    {
        if (slotOf_.empty())
            slotOf_.assign(count_, -1);
        int &slot = slotOf_[value.t.key - base_];
        if (slot >= 0) {
            entries_[size_t(slot)] = value;
        } else {
            slot = int(entries_.size());
            entries_.push_back(value);
        }
        return entries_[size_t(slot)];
    }
    void remove(quint32 key)
    {
        const int i = indexOf(key);
        if (i < 0)
            return;
        if (size_t(i) + 1 != entries_.size()) {
            entries_[size_t(i)] = std::move(entries_.back());
            slotOf_[entries_[size_t(i)].t.key - base_] = i;
        }
        entries_.pop_back();
        slotOf_[key - base_] = -1;
    }
    void clear()
    {
        for (const OpenTxn &e : entries_)
            slotOf_[e.t.key - base_] = -1;
        entries_.clear();
    }
    qsizetype size() const { return qsizetype(entries_.size()); }
    bool isEmpty() const { return entries_.empty(); }
    // The keys open now, for a loop that removes as it goes.
    std::vector<quint32> keys() const
    {
        std::vector<quint32> k;
        k.reserve(entries_.size());
        for (const OpenTxn &e : entries_)
            k.push_back(e.t.key);
        return k;
    }
    std::vector<OpenTxn>::const_iterator begin() const { return entries_.begin(); }
    std::vector<OpenTxn>::const_iterator end() const { return entries_.end(); }

private:
    int indexOf(quint32 key) const
    {
        return key - base_ < count_ && !slotOf_.empty() ? slotOf_[key - base_] : -1;
    }
    quint32 base_, count_;
    std::vector<int> slotOf_; // key - base -> index in entries_, -1 when not open
    std::vector<OpenTxn> entries_;
};

// Command and event transactions apart: aborting pending commands walks only
// the commands, however many event transactions are open.
struct OpenSet {
    OpenTable commands{0, EventKeyBase};
    OpenTable events{EventKeyBase, TagKeyCount - EventKeyBase};

    OpenTable &tableOf(quint32 key) { return key < EventKeyBase ? commands : events; }
    OpenTxn *find(quint32 key) { return tableOf(key).find(key); }
    qsizetype size() const { return commands.size() + events.size(); }
    bool isEmpty() const { return commands.isEmpty() && events.isEmpty(); }
    void clear()
    {
        commands.clear();
        events.clear();
    }
};

} // namespace check
