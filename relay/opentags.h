#pragma once
// The tags of a relay client's commands that still wait for their '%'. Most
// tags are the protocol's own (00001-99999, E0001-E9999) and take one bit
// each; any other text is kept as it is.

#include <QByteArray>
#include <QByteArrayView>
#include <QSet>

#include <vector>

class OpenTags {
public:
    void insert(QByteArrayView tag) { set(tag, true); }
    void remove(QByteArrayView tag) { set(tag, false); }
    void clear();
    int size() const { return bits + int(others.size()); }
    bool isEmpty() const { return size() == 0; }
    bool contains(QByteArrayView tag) const;

private:
    void set(QByteArrayView tag, bool open);
    std::vector<quint64> words;
    int bits = 0;
    QSet<QByteArray> others;
};
