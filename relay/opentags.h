#pragma once
// The tags of a relay client's commands that still wait for their '%'. Most
// tags are the protocol's own (00001-99999, E0001-E9999) and take one bit
// each; any other text is kept as it is.

#include <QSet>
#include <QString>

#include <vector>

class OpenTags {
public:
    void insert(const QString &tag) { set(tag, true); }
    void remove(const QString &tag) { set(tag, false); }
    void clear();
    int size() const { return bits + int(others.size()); }
    bool isEmpty() const { return size() == 0; }
    bool contains(const QString &tag) const;

private:
    void set(const QString &tag, bool open);
    std::vector<quint64> words;
    int bits = 0;
    QSet<QString> others;
};
