#pragma once
// Profile (ini-style) settings file: "[Section]" lines open sections, "key=value"
// lines hold values. No widgets; the whole file is held in memory.
//
// - Section and key names are matched without regard to case, blanks around
//   them ignored.
// - The file is 8-bit text (Latin-1): every byte survives a load and a save.
// - Lines this class does not understand (comments, junk, keys it is never
//   asked for, whole unknown sections) are kept and written back unchanged;
//   a line is only rewritten when its value changes.
// - Duplicate keys: the first one in the file wins, for reading and writing;
//   a section name that occurs twice is one section (its first occurrence
//   first). A "[" line without its "]" names a section by the rest of the line.
// - Values are trimmed of blanks and control characters; one pair of
//   enclosing double or single quotes is removed. Values that need it are
//   written in double quotes so that they read back unchanged.
// - Saving writes a new file and then puts it in the old one's place, so the
//   old file stays whole when the save fails.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

class ProfileFile {
public:
    explicit ProfileFile(const QString &fileName = QString());

    QString fileName() const { return path; }

    // Reads the file. A missing file gives an empty profile. When the file
    // exists but cannot be read, the content stays as it was and the result
    // is false, with the reason in `error`.
    bool load(QString *error = nullptr);
    // Whether a load has succeeded (a missing file counts): until then the
    // content is not the file's, and saving it would replace what the file holds.
    bool wasRead() const { return readOnce; }
    // Writes the content to the file (see above). False, with the reason in
    // `error`, when that fails; the old file is then untouched.
    bool save(QString *error = nullptr) const;

    // The content as the file holds it, and replacing it.
    QByteArray content() const;
    void setContent(const QByteArray &bytes);

    // Text values are read up to this many characters; longer ones are cut.
    static constexpr int MaxValueLength = 2047;

    bool hasKey(const QString &section, const QString &key) const;
    // The text value, or `defaultValue` when the key is missing.
    QString readString(const QString &section, const QString &key, const QString &defaultValue) const;
    // Decimal, or hexadecimal after "$" or "0x"; anything else (or a missing
    // key, or a number beyond the int range) gives `defaultValue`.
    int readInteger(const QString &section, const QString &key, int defaultValue) const;
    // The section's key names in file order, each name once.
    QStringList keys(const QString &section) const;

    void writeString(const QString &section, const QString &key, const QString &value);
    void writeInteger(const QString &section, const QString &key, int value);
    // Removes the section with all its keys and comments.
    void eraseSection(const QString &section);

private:
    struct Line {
        enum Kind { Other, Section, Entry };
        Kind kind = Other;
        QString text; // without its line end
        QByteArray eol; // "\r\n", "\n", or empty for a last line without one
        QString name; // section name or key, trimmed
    };
    // A header line and the lines up to the next header. The lines before
    // the first header form a block without header, which no lookup finds.
    struct Block {
        bool hasHeader = false;
        bool erased = false; // erased and not written to since: not saved
        Line header;
        QString folded; // section name, case-folded
        std::vector<Line> body;
        mutable QHash<QString, size_t> keyIndex; // folded key -> first entry in body
        mutable bool indexed = false;
        const Line *find(const QString &foldedKey) const;
    };

    static Line parseLine(const QString &text, const QByteArray &eol);
    static QString rawValue(const Line &line);
    static QString encodeValue(QString value);
    const Line *findEntry(const QString &section, const QString &key) const;
    Line *findEntry(const QString &section, const QString &key);
    // The blocks of `section`, first occurrence first.
    QList<size_t> blocksOf(const QString &section) const;
    void rebuildSectionIndex();

    QString path;
    bool readOnce = false;
    std::vector<Block> blocks;
    QHash<QString, QList<size_t>> sectionIndex; // folded name -> blocks
    QByteArray newline = "\r\n"; // line end for new lines: the file's own style
};
