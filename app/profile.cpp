#include "app/profile.h"
#include "app/safesave.h"

#include "link/protocol.h"

#include <QFile>
#include <QSet>

namespace {

bool quotedPair(const QString &v)
{
    if (v.size() < 2)
        return false;
    const QChar first = v.front();
    return (first == QLatin1Char('"') || first == QLatin1Char('\'')) && v.back() == first;
}

} // namespace

ProfileFile::ProfileFile(const QString &fileName) : path(fileName) { }

ProfileFile::Line ProfileFile::parseLine(const QString &text, const QByteArray &eol)
{
    Line line;
    line.text = text;
    line.eol = eol;
    const QString t = TrimControls(text);
    if (t.startsWith(QLatin1Char('['))) {
        line.kind = Line::Section;
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        line.name = TrimControls(close < 0 ? t.mid(1) : t.mid(1, close - 1));
    } else if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'))) {
        line.kind = Line::Other;
    } else {
        const qsizetype eq = t.indexOf(QLatin1Char('='));
        if (eq > 0) {
            line.name = TrimControls(t.left(eq));
            if (!line.name.isEmpty())
                line.kind = Line::Entry;
        }
    }
    return line;
}

void ProfileFile::setContent(const QByteArray &bytes)
{
    blocks.clear();
    blocks.emplace_back(); // lines before the first header
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
        Line line = parseLine(QString::fromLatin1(bytes.constData() + pos, end - pos), eol);
        if (line.kind == Line::Section) {
            Block block;
            block.hasHeader = true;
            block.folded = line.name.toCaseFolded();
            block.header = std::move(line);
            blocks.push_back(std::move(block));
        } else {
            blocks.back().body.push_back(std::move(line));
        }
        pos = lf < 0 ? bytes.size() : lf + 1;
    }
    rebuildSectionIndex();
}

QByteArray ProfileFile::content() const
{
    // Every line keeps its own line end; one that had none (the file's last)
    // gets one when lines follow it now.
    QByteArray out;
    const Line *pending = nullptr;
    auto put = [&](const Line &line) {
        if (pending && pending->eol.isEmpty())
            out += newline;
        out += line.text.toLatin1();
        out += line.eol;
        pending = &line;
    };
    for (const Block &block : blocks) {
        if (block.erased)
            continue;
        if (block.hasHeader)
            put(block.header);
        for (const Line &line : block.body)
            put(line);
    }
    return out;
}

void ProfileFile::rebuildSectionIndex()
{
    sectionIndex.clear();
    for (size_t i = 0; i < blocks.size(); ++i)
        if (blocks[i].hasHeader)
            sectionIndex[blocks[i].folded].append(i);
}

QList<size_t> ProfileFile::blocksOf(const QString &section) const
{
    return sectionIndex.value(TrimControls(section).toCaseFolded());
}

const ProfileFile::Line *ProfileFile::Block::find(const QString &foldedKey) const
{
    if (!indexed) {
        // Backwards, so that the first of duplicate keys ends up in the index.
        keyIndex.clear();
        for (size_t i = body.size(); i-- > 0;)
            if (body[i].kind == Line::Entry)
                keyIndex.insert(body[i].name.toCaseFolded(), i);
        indexed = true;
    }
    const auto it = keyIndex.constFind(foldedKey);
    return it == keyIndex.constEnd() ? nullptr : &body[it.value()];
}

bool ProfileFile::load(QString *error)
{
    QFile file(path);
    if (!file.exists()) {
        setContent(QByteArray());
        readOnce = true;
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
    readOnce = true;
    return true;
}

bool ProfileFile::save(QString *error) const
{
    return SaveFileAtomically(path, content(), error);
}

const ProfileFile::Line *ProfileFile::findEntry(const QString &section, const QString &key) const
{
    const QString folded = TrimControls(key).toCaseFolded();
    for (size_t b : blocksOf(section))
        if (const Line *line = blocks[b].find(folded))
            return line;
    return nullptr;
}

ProfileFile::Line *ProfileFile::findEntry(const QString &section, const QString &key)
{
    return const_cast<Line *>(static_cast<const ProfileFile *>(this)->findEntry(section, key));
}

QString ProfileFile::rawValue(const Line &line)
{
    const QString v = TrimControls(line.text.mid(line.text.indexOf(QLatin1Char('=')) + 1));
    return quotedPair(v) ? v.mid(1, v.size() - 2) : v;
}

QString ProfileFile::encodeValue(QString value)
{
    // A line end inside a value would split the line; it becomes a blank.
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (TrimControls(value).size() != value.size() || quotedPair(value))
        return QLatin1Char('"') + value + QLatin1Char('"');
    return value;
}

bool ProfileFile::hasKey(const QString &section, const QString &key) const
{
    return findEntry(section, key) != nullptr;
}

QString ProfileFile::readString(const QString &section, const QString &key, const QString &defaultValue) const
{
    const Line *line = findEntry(section, key);
    return line ? rawValue(*line).left(MaxValueLength) : defaultValue;
}

int ProfileFile::readInteger(const QString &section, const QString &key, int defaultValue) const
{
    const Line *line = findEntry(section, key);
    int value = 0;
    return line && ParseIntStrict(rawValue(*line), value) ? value : defaultValue;
}

QStringList ProfileFile::keys(const QString &section) const
{
    QStringList out;
    QSet<QString> seen;
    for (size_t b : blocksOf(section))
        for (const Line &line : blocks[b].body)
            if (line.kind == Line::Entry) {
                const QString folded = line.name.toCaseFolded();
                if (!seen.contains(folded)) {
                    seen.insert(folded);
                    out << line.name;
                }
            }
    return out;
}

void ProfileFile::writeString(const QString &section, const QString &key, const QString &value)
{
    if (Line *line = findEntry(section, key)) {
        if (rawValue(*line) != value)
            line->text = line->name + QLatin1Char('=') + encodeValue(value);
        return;
    }
    Line entry;
    entry.kind = Line::Entry;
    entry.name = TrimControls(key);
    entry.text = entry.name + QLatin1Char('=') + encodeValue(value);
    entry.eol = newline;

    const QList<size_t> found = blocksOf(section);
    if (found.isEmpty()) {
        Block block;
        block.hasHeader = true;
        block.header.kind = Line::Section;
        block.header.name = TrimControls(section);
        block.header.text = QLatin1Char('[') + block.header.name + QLatin1Char(']');
        block.header.eol = newline;
        block.folded = block.header.name.toCaseFolded();
        blocks.push_back(std::move(block));
        sectionIndex[blocks.back().folded].append(blocks.size() - 1);
    }
    // New keys go after the section's last key, before trailing comments.
    Block &block = blocks[found.isEmpty() ? blocks.size() - 1 : found.front()];
    block.erased = false;
    size_t at = block.body.size();
    while (at > 0 && block.body[at - 1].kind != Line::Entry)
        --at;
    const QString folded = entry.name.toCaseFolded();
    block.body.insert(block.body.begin() + qsizetype(at), std::move(entry));
    if (block.indexed && at + 1 == block.body.size())
        block.keyIndex.insert(folded, at);
    else
        block.indexed = false;
}

void ProfileFile::writeInteger(const QString &section, const QString &key, int value)
{
    writeString(section, key, QString::number(value));
}

void ProfileFile::eraseSection(const QString &section)
{
    // The first block stays in place (hidden until a key is written into
    // it), so a section that is erased and written again keeps its position.
    const QList<size_t> found = blocksOf(section);
    if (found.isEmpty())
        return;
    Block &first = blocks[found.front()];
    first.body.clear();
    first.keyIndex.clear();
    first.indexed = true;
    first.erased = true;
    if (found.size() > 1) {
        for (qsizetype i = found.size() - 1; i >= 1; --i)
            blocks.erase(blocks.begin() + qsizetype(found[i]));
        rebuildSectionIndex();
    }
}
