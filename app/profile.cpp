#include "app/profile.h"

#include "link/protocol.h"

#include <QFile>
#include <QSaveFile>

namespace {

bool isBlank(QChar c) { return c.unicode() <= 0x20; }

QString trimmed(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool quotedPair(const QString &v)
{
    if (v.size() < 2)
        return false;
    const QChar first = v.front();
    return (first == QLatin1Char('"') || first == QLatin1Char('\'')) && v.back() == first;
}

} // namespace

ProfileFile::ProfileFile(const QString &fileName) : path(fileName) {}

ProfileFile::Line ProfileFile::parseLine(const QString &text, const QByteArray &eol)
{
    Line line;
    line.text = text;
    line.eol = eol;
    const QString t = trimmed(text);
    if (t.startsWith(QLatin1Char('['))) {
        line.kind = Line::Section;
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        line.name = trimmed(close < 0 ? t.mid(1) : t.mid(1, close - 1));
    } else if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'))) {
        line.kind = Line::Other;
    } else {
        const qsizetype eq = t.indexOf(QLatin1Char('='));
        if (eq > 0) {
            line.name = trimmed(t.left(eq));
            if (!line.name.isEmpty())
                line.kind = Line::Entry;
        }
    }
    return line;
}

void ProfileFile::setContent(const QByteArray &bytes)
{
    lines.clear();
    newline = "\r\n";
    bool styleFound = false;
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype lf = bytes.indexOf('\n', pos);
        QByteArray eol;
        qsizetype end;
        if (lf < 0) {
            end = bytes.size();
        } else if (lf > pos && bytes.at(lf - 1) == '\r') {
            end = lf - 1;
            eol = "\r\n";
        } else {
            end = lf;
            eol = "\n";
        }
        if (!styleFound && !eol.isEmpty()) {
            newline = eol;
            styleFound = true;
        }
        lines.push_back(parseLine(QString::fromLatin1(bytes.constData() + pos, end - pos), eol));
        pos = lf < 0 ? bytes.size() : lf + 1;
    }
}

QByteArray ProfileFile::content() const
{
    QByteArray out;
    const size_t n = lines.size();
    for (size_t i = 0; i < n; ++i) {
        const Line &line = lines[i];
        if (line.kind == Line::Section && line.erased)
            continue;
        out += line.text.toLatin1();
        if (!line.eol.isEmpty())
            out += line.eol;
        else if (i + 1 < n)
            out += newline;
    }
    return out;
}

bool ProfileFile::load(QString *error)
{
    QFile file(path);
    if (!file.exists()) {
        setContent(QByteArray());
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = file.errorString();
        return false;
    }
    setContent(bytes);
    return true;
}

bool ProfileFile::save(QString *error) const
{
    return SaveFileAtomically(path, content(), error);
}

bool SaveFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    auto fail = [&] {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    };
    // Unbuffered: a short write (disk full, size limit) must be seen here.
    // Through the write buffer it would be lost at the final flush, and the
    // cut file would still replace the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail();
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return fail();
        done += n;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

qsizetype ProfileFile::findEntry(const QString &section, const QString &key) const
{
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line &line = lines[i];
        if (line.kind == Line::Section)
            inSection = sameName(line.name, section);
        else if (inSection && line.kind == Line::Entry && sameName(line.name, key))
            return qsizetype(i);
    }
    return -1;
}

qsizetype ProfileFile::findSection(const QString &section) const
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].kind == Line::Section && sameName(lines[i].name, section))
            return qsizetype(i);
    return -1;
}

qsizetype ProfileFile::insertionPoint(qsizetype header) const
{
    qsizetype at = header + 1;
    for (size_t i = size_t(header) + 1; i < lines.size(); ++i) {
        if (lines[i].kind == Line::Section)
            break;
        if (lines[i].kind == Line::Entry)
            at = qsizetype(i) + 1;
    }
    return at;
}

QString ProfileFile::rawValue(const Line &line)
{
    const QString v = trimmed(line.text.mid(line.text.indexOf(QLatin1Char('=')) + 1));
    return quotedPair(v) ? v.mid(1, v.size() - 2) : v;
}

QString ProfileFile::encodeValue(QString value)
{
    // A line end inside a value would split the line; it becomes a blank.
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (trimmed(value).size() != value.size() || quotedPair(value))
        return QLatin1Char('"') + value + QLatin1Char('"');
    return value;
}

bool ProfileFile::hasKey(const QString &section, const QString &key) const
{
    return findEntry(section, key) >= 0;
}

QString ProfileFile::readString(const QString &section, const QString &key,
                                const QString &defaultValue) const
{
    const qsizetype i = findEntry(section, key);
    if (i < 0)
        return defaultValue;
    return rawValue(lines[size_t(i)]).left(MaxValueLength);
}

int ProfileFile::readInteger(const QString &section, const QString &key, int defaultValue) const
{
    const qsizetype i = findEntry(section, key);
    if (i < 0)
        return defaultValue;
    int value = 0;
    return ParseIntStrict(rawValue(lines[size_t(i)]), value) ? value : defaultValue;
}

QStringList ProfileFile::keys(const QString &section) const
{
    QStringList out;
    bool inSection = false;
    for (const Line &line : lines) {
        if (line.kind == Line::Section)
            inSection = sameName(line.name, section);
        else if (inSection && line.kind == Line::Entry && !out.contains(line.name, Qt::CaseInsensitive))
            out << line.name;
    }
    return out;
}

void ProfileFile::writeString(const QString &section, const QString &key, const QString &value)
{
    const qsizetype i = findEntry(section, key);
    if (i >= 0) {
        Line &line = lines[size_t(i)];
        if (rawValue(line) != value)
            line.text = line.name + QLatin1Char('=') + encodeValue(value);
        return;
    }
    Line entry;
    entry.kind = Line::Entry;
    entry.name = trimmed(key);
    entry.text = entry.name + QLatin1Char('=') + encodeValue(value);
    entry.eol = newline;
    const qsizetype header = findSection(section);
    if (header >= 0) {
        lines[size_t(header)].erased = false;
        lines.insert(lines.begin() + insertionPoint(header), entry);
        return;
    }
    Line head;
    head.kind = Line::Section;
    head.name = trimmed(section);
    head.text = QLatin1Char('[') + head.name + QLatin1Char(']');
    head.eol = newline;
    lines.push_back(head);
    lines.push_back(entry);
}

void ProfileFile::writeInteger(const QString &section, const QString &key, int value)
{
    writeString(section, key, QString::number(value));
}

void ProfileFile::eraseSection(const QString &section)
{
    // The first header stays in place (hidden until a key is written into
    // it), so a section that is erased and written again keeps its position.
    std::vector<Line> kept;
    kept.reserve(lines.size());
    bool inSection = false;
    bool firstSeen = false;
    for (Line &line : lines) {
        if (line.kind == Line::Section) {
            inSection = sameName(line.name, section);
            if (inSection && !firstSeen) {
                firstSeen = true;
                line.erased = true;
                kept.push_back(std::move(line));
            }
            if (inSection)
                continue;
        }
        if (!inSection)
            kept.push_back(std::move(line));
    }
    lines = std::move(kept);
}
