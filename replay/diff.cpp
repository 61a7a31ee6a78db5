#include "replay/diff.h"

#include "check/summary.h"
#include "replay/match.h"

namespace replay {

std::vector<LineChange> CompareReplies(const std::vector<QByteArray> &a, const std::vector<QByteArray> &b,
                                       double tolerance)
{
    const size_t n = a.size(), m = b.size();
    std::vector<LineChange> out;
    auto same = [&](size_t i, size_t j) { return SameText(Normalise(a[i]), Normalise(b[j]), tolerance); };
    // Replies are short; a long one is compared line by line in place.
    if (n * m > 1000000) {
        for (size_t i = 0; i < qMax(n, m); ++i) {
            if (i >= n)
                out.push_back({LineChange::Added, {}, b[i]});
            else if (i >= m)
                out.push_back({LineChange::Removed, a[i], {}});
            else if (!same(i, i))
                out.push_back({LineChange::Changed, a[i], b[i]});
        }
        return out;
    }
    // The longest common subsequence, then the walk along it.
    std::vector<std::vector<quint32>> len(n + 1, std::vector<quint32>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            len[i][j] = same(i, j) ? len[i + 1][j + 1] + 1 : qMax(len[i + 1][j], len[i][j + 1]);
    size_t i = 0, j = 0;
    std::vector<QByteArray> removed, added;
    auto settle = [&] {
        // Removed and added lines side by side are changed lines.
        size_t k = 0;
        for (; k < removed.size() && k < added.size(); ++k)
            out.push_back({LineChange::Changed, removed[k], added[k]});
        for (size_t r = k; r < removed.size(); ++r)
            out.push_back({LineChange::Removed, removed[r], {}});
        for (size_t r = k; r < added.size(); ++r)
            out.push_back({LineChange::Added, {}, added[r]});
        removed.clear();
        added.clear();
    };
    while (i < n || j < m) {
        if (i < n && j < m && same(i, j)) {
            settle();
            ++i;
            ++j;
        } else if (j < m && (i == n || len[i][j + 1] >= len[i + 1][j])) {
            added.push_back(b[j++]);
        } else {
            removed.push_back(a[i++]);
        }
    }
    settle();
    return out;
}

void Diff::add(DiffEntry e)
{
    // A flood of long lines keeps only their starts.
    constexpr qsizetype Kept = 512;
    for (QByteArray *text : {&e.recordedCommand, &e.replayedCommand})
        if (text->size() > Kept)
            text->truncate(Kept);
    auto slowTime = [this](qint64 recorded, qint64 now) {
        return recorded >= 0 && now >= 0 && now - recorded > opt.minExcessUs
            && double(now) > opt.slower * double(qMax(recorded, opt.timeFloorUs));
    };
    if (e.kind == EntryKind::Matched) {
        e.slowAck = slowTime(e.recordedAckUs, e.ackUs);
        e.slowDone = slowTime(e.recordedDoneUs, e.doneUs);
    }
    switch (e.kind) {
    case EntryKind::Matched:
        ++matched;
        break;
    case EntryKind::Missing:
        ++missing;
        break;
    case EntryKind::Extra:
        ++extra;
        break;
    }
    if (!e.lines.empty())
        ++changed;
    if (e.slowAck || e.slowDone)
        ++slow;
    if (!e.differs()) {
        if (!keepAll || matchedKept >= MaxMatchedKept)
            return;
        ++matchedKept;
    } else if (qsizetype(entries.size()) - matchedKept >= MaxEntries) {
        ++dropped;
        return;
    }
    entries.push_back(std::move(e));
}

namespace {

QByteArray Where(const DiffEntry &e)
{
    return e.fileLine >= 0 ? "line " + QByteArray::number(e.fileLine) : QByteArray("replay");
}

QByteArray Quoted(const QByteArray &s)
{
    return '"' + s.trimmed() + '"';
}

QByteArray Ms(qint64 us)
{
    return check::Ms(us) + " ms";
}

void Put(FILE *out, const QByteArray &s)
{
    std::fwrite(s.constData(), 1, size_t(s.size()), out);
}

QByteArray Html(QByteArrayView s)
{
    QByteArray o;
    for (char c : s) {
        switch (c) {
        case '<':
            o += "&lt;";
            break;
        case '>':
            o += "&gt;";
            break;
        case '&':
            o += "&amp;";
            break;
        case '"':
            o += "&quot;";
            break;
        default:
            o += c;
        }
    }
    return o;
}

const char *KindName(EntryKind k)
{
    switch (k) {
    case EntryKind::Matched:
        return "matched";
    case EntryKind::Missing:
        return "missing";
    case EntryKind::Extra:
        return "extra";
    }
    return "matched";
}

const char *ChangeName(LineChange::Kind k)
{
    return k == LineChange::Added ? "added" : k == LineChange::Removed ? "removed" : "changed";
}

} // namespace

void PutDiffText(FILE *out, const ReportHeader &h, const Diff &d)
{
    QByteArray s = h.recording + ": " + h.mode + " replay";
    if (!h.peer.isEmpty())
        s += " against " + h.peer;
    s += ": " + QByteArray::number(d.matched + d.missing) + " recorded transactions, "
        + QByteArray::number(d.matched) + " matched, " + QByteArray::number(d.missing) + " missing, "
        + QByteArray::number(d.extra) + " extra; " + QByteArray::number(d.changed) + " with changed replies, "
        + QByteArray::number(d.slow) + " slower than " + QByteArray::number(d.options().slower) + " x\n";
    for (const DiffEntry &e : d.entries) {
        if (!e.differs())
            continue;
        const QByteArray head = "  " + Where(e) + ": ";
        switch (e.kind) {
        case EntryKind::Missing:
            s +=
                head + "missing: " + e.recordedCommand + (e.note.isEmpty() ? "" : " (" + e.note + ")") + '\n';
            continue;
        case EntryKind::Extra:
            s += head + "extra: " + e.replayedCommand + (e.note.isEmpty() ? "" : " (" + e.note + ")") + '\n';
            continue;
        case EntryKind::Matched:
            break;
        }
        for (const LineChange &c : e.lines) {
            s += head + e.recordedCommand + ": " + ChangeName(c.kind) + ": ";
            if (c.kind == LineChange::Added)
                s += Quoted(c.replayed);
            else if (c.kind == LineChange::Removed)
                s += Quoted(c.recorded);
            else
                s += Quoted(c.recorded) + " now " + Quoted(c.replayed);
            s += '\n';
        }
        if (e.slowAck)
            s += head + e.recordedCommand + ": slower '&': " + Ms(e.ackUs) + ", recorded "
                + Ms(e.recordedAckUs) + '\n';
        if (e.slowDone)
            s += head + e.recordedCommand + ": slower '%': " + Ms(e.doneUs) + ", recorded "
                + Ms(e.recordedDoneUs) + '\n';
    }
    if (d.dropped > 0)
        s += "  ... and " + QByteArray::number(d.dropped) + " more differences\n";
    if (d.empty())
        s += "  no differences\n";
    Put(out, s);
}

QByteArray DiffJson(const ReportHeader &h, const Diff &d, qint64 findings, int status)
{
    using check::JsonString;
    QByteArray s = "{\"recording\": " + JsonString(h.recording) + ", \"mode\": " + JsonString(h.mode)
        + ", \"peer\": " + JsonString(h.peer)
        + ",\n \"summary\": {\"matched\": " + QByteArray::number(d.matched)
        + ", \"missing\": " + QByteArray::number(d.missing) + ", \"extra\": " + QByteArray::number(d.extra)
        + ", \"changed\": " + QByteArray::number(d.changed) + ", \"slow\": " + QByteArray::number(d.slow)
        + ", \"unlisted\": " + QByteArray::number(d.dropped) + "},\n \"differences\": [";
    bool first = true;
    for (const DiffEntry &e : d.entries) {
        if (!e.differs())
            continue;
        s += first ? "\n" : ",\n";
        first = false;
        s += "  {\"kind\": \"" + QByteArray(KindName(e.kind)) + "\", \"line\": "
            + QByteArray::number(e.fileLine) + ", \"recorded\": " + JsonString(e.recordedCommand)
            + ", \"replayed\": " + JsonString(e.replayedCommand) + ", \"note\": " + JsonString(e.note)
            + ", \"lines\": [";
        for (size_t i = 0; i < e.lines.size(); ++i)
            s += QByteArray(i ? ", " : "") + "{\"change\": \"" + ChangeName(e.lines[i].kind)
                + "\", \"recorded\": " + JsonString(e.lines[i].recorded)
                + ", \"replayed\": " + JsonString(e.lines[i].replayed) + "}";
        s += "], \"ackMs\": " + JsonString(check::Ms(e.ackUs)) + ", \"recordedAckMs\": "
            + JsonString(check::Ms(e.recordedAckUs)) + ", \"doneMs\": " + JsonString(check::Ms(e.doneUs))
            + ", \"recordedDoneMs\": " + JsonString(check::Ms(e.recordedDoneUs)) + ", \"slowAck\": "
            + (e.slowAck ? "true" : "false") + ", \"slowDone\": " + (e.slowDone ? "true" : "false") + "}";
    }
    s += "\n ],\n \"findings\": " + QByteArray::number(findings)
        + ", \"status\": " + QByteArray::number(status) + "}\n";
    return s;
}

QByteArray DiffHtml(const ReportHeader &h, const Diff &d)
{
    QByteArray s = "<!DOCTYPE html>\n<html><head><meta charset=\"iso-8859-1\"><title>Replay of "
        + Html(h.recording)
        + "</title>\n<style>body{font-family:sans-serif}table{border-collapse:collapse;width:100%}"
          "td,th{border:1px solid #ccc;padding:2px 6px;vertical-align:top;font-family:monospace;"
          "white-space:pre-wrap}tr.missing td{background:#fde}tr.extra td{background:#def}"
          "td.changed{background:#ffd}</style></head><body>\n<h1>"
        + Html(h.mode) + " replay of " + Html(h.recording) + "</h1>\n<p>" + QByteArray::number(d.matched)
        + " matched, " + QByteArray::number(d.missing) + " missing, " + QByteArray::number(d.extra)
        + " extra, " + QByteArray::number(d.changed) + " with changed replies, " + QByteArray::number(d.slow)
        + " slower.</p>\n<table><tr><th>line</th><th>recorded</th><th>replayed</th></tr>\n";
    for (const DiffEntry &e : d.entries) {
        s += "<tr class=\"" + QByteArray(KindName(e.kind)) + "\"><td>" + Where(e) + "</td><td>"
            + Html(e.recordedCommand);
        QByteArray right = Html(e.replayedCommand);
        QByteArray left;
        for (const LineChange &c : e.lines) {
            left += "\n" + Html(c.recorded.trimmed());
            right += "\n" + Html(c.replayed.trimmed());
        }
        if (e.slowAck || e.slowDone) {
            left += "\n&amp; " + Ms(e.recordedAckUs) + ", % " + Ms(e.recordedDoneUs);
            right += "\n&amp; " + Ms(e.ackUs) + ", % " + Ms(e.doneUs);
        }
        if (!e.note.isEmpty())
            right += "\n(" + Html(e.note) + ")";
        const char *cls = e.lines.empty() ? "" : " class=\"changed\"";
        s += left + "</td><td" + cls + ">" + right + "</td></tr>\n";
    }
    s += "</table>\n";
    if (d.dropped > 0)
        s += "<p>... and " + QByteArray::number(d.dropped) + " more differences.</p>\n";
    s += "</body></html>\n";
    return s;
}

} // namespace replay
