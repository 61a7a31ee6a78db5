#include "relay/opentags.h"

#include "check/protocolchecker.h"

namespace {

// A protocol tag's number, 0 when the text is none.
quint32 KeyOf(QByteArrayView tag)
{
    return tag.size() == 5 ? check::TagKey(tag) : 0;
}
} // namespace

void OpenTags::set(QByteArrayView tag, bool open)
{
    const quint32 key = KeyOf(tag);
    if (key == 0) {
        if (open)
            others.insert(tag.toByteArray());
        else
            others.remove(tag.toByteArray());
        return;
    }
    if (words.empty()) {
        if (!open)
            return;
        words.assign(check::TagKeyCount / 64 + 1, 0);
    }
    quint64 &w = words[key / 64];
    const quint64 bit = quint64(1) << (key % 64);
    if (bool(w & bit) == open)
        return;
    w ^= bit;
    bits += open ? 1 : -1;
}

bool OpenTags::contains(QByteArrayView tag) const
{
    const quint32 key = KeyOf(tag);
    if (key == 0)
        return others.contains(tag.toByteArray());
    return !words.empty() && (words[key / 64] & (quint64(1) << (key % 64)));
}

void OpenTags::clear()
{
    if (bits > 0)
        std::fill(words.begin(), words.end(), 0);
    bits = 0;
    others.clear();
}
