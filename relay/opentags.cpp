#include "relay/opentags.h"

#include "check/protocolchecker.h"

namespace {
constexpr quint32 KeyRange = 110000; // check::TagKey gives 1 ... 109999

// A protocol tag's number, 0 when the text is none.
quint32 KeyOf(const QString &tag)
{
    if (tag.size() != 5)
        return 0;
    char bytes[5];
    for (int i = 0; i < 5; ++i) {
        const char16_t c = tag.at(i).unicode();
        if (c > 0x7f)
            return 0;
        bytes[i] = char(c);
    }
    return check::TagKey(QByteArrayView(bytes, 5));
}
} // namespace

void OpenTags::set(const QString &tag, bool open)
{
    const quint32 key = KeyOf(tag);
    if (key == 0) {
        if (open)
            others.insert(tag);
        else
            others.remove(tag);
        return;
    }
    if (words.empty()) {
        if (!open)
            return;
        words.assign(KeyRange / 64 + 1, 0);
    }
    quint64 &w = words[key / 64];
    const quint64 bit = quint64(1) << (key % 64);
    if (bool(w & bit) == open)
        return;
    w ^= bit;
    bits += open ? 1 : -1;
}

bool OpenTags::contains(const QString &tag) const
{
    const quint32 key = KeyOf(tag);
    if (key == 0)
        return others.contains(tag);
    return !words.empty() && (words[key / 64] & (quint64(1) << (key % 64)));
}

void OpenTags::clear()
{
    if (bits > 0)
        std::fill(words.begin(), words.end(), 0);
    bits = 0;
    others.clear();
}
