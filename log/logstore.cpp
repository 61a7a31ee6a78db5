#include "log/logstore.h"

#include "platform/platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QIODevice>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {
// Spilling writes this much at a time, and twice as fast as lines come in,
// so that it keeps ahead of the log without one long write.
constexpr qsizetype SpillPiece = 64 * 1024;
// Chunks that are read back for painting and pick-up.
constexpr size_t CacheChunks = 4;
// Freed chunks kept for the next ones: fresh memory costs page faults.
constexpr size_t KeepSpare = 2;
// Chunks this big come straight from the system, so that freeing them gives
// the memory back.
constexpr qsizetype MappedFrom = 64 * 1024;
// A line's entry in its chunk's index.
constexpr qsizetype EntryBytes = sizeof(quint32);
// An export writes at most this much at a time.
constexpr qsizetype ExportPiece = 256 * 1024;

qsizetype alignedUp(qsizetype bytes)
{
    return (bytes + EntryBytes - 1) / EntryBytes * EntryBytes;
}

qsizetype entryAt(const char *image, qsizetype indexEnd, qsizetype k)
{
    quint32 start;
    std::memcpy(&start, image + indexEnd - EntryBytes * (k + 1), sizeof start);
    return qsizetype(start);
}
} // namespace

LogStore::LogStore(qsizetype chunkBytes, qint64 memoryBound)
    : chunkSize(alignedUp(qMax<qsizetype>(16, chunkBytes))), bound(memoryBound), spillFolder(QDir::tempPath())
{
    releaseTimer.setSingleShot(true);
    releaseTimer.setInterval(0);
    QObject::connect(&releaseTimer, &QTimer::timeout, &releaseTimer, [this] { releaseSlice(); });
}

LogStore::~LogStore()
{
    for (Export *e : exports)
        e->store = nullptr;
    clear();
    releaseTimer.stop();
    for (const auto &s : spare) {
        if (s.second >= MappedFrom) {
            platform::UnmapPages(s.first, s.second);
            continue;
        }
        std::free(s.first);
    }
}

qint64 LogStore::heldBytes() const
{
    qint64 held = resident + qint64(chunks.size() * sizeof(Chunk));
    for (const CachedChunk &e : cache)
        held += e.capacity;
    for (const auto &s : spare)
        held += s.second;
    return held;
}

void LogStore::setSpillFolder(const QString &folder)
{
    spillFolder = folder;
}

void LogStore::setMemoryBound(qint64 bytes)
{
    bound = bytes;
    keepWithinBound();
}

char *LogStore::allocate(qsizetype bytes) const
{
    for (auto it = spare.begin(); it != spare.end(); ++it) {
        if (it->second == bytes) {
            char *p = it->first;
            spare.erase(it);
            return p;
        }
    }
    if (bytes >= MappedFrom) {
        // A chunk is filled from end to end: its pages are all made at once,
        // not one by one as each is first written.
        char *p = platform::MapPages(bytes);
        if (!p)
            throw std::bad_alloc();
        return p;
    }
    char *p = static_cast<char *>(std::malloc(size_t(bytes)));
    if (!p)
        throw std::bad_alloc();
    return p;
}

void LogStore::release(char *data, qsizetype bytes) const
{
    spare.emplace_back(data, bytes);
    if (spare.size() > KeepSpare && !releaseTimer.isActive())
        releaseTimer.start();
}

void LogStore::releaseSlice() const
{
    // Giving back hundreds of megabytes takes longer than a frame: a few
    // milliseconds' worth at a time.
    QElapsedTimer clock;
    clock.start();
    while (spare.size() > KeepSpare && clock.elapsed() < 4) {
        const auto s = spare.back();
        spare.pop_back();
        if (s.second >= MappedFrom) {
            platform::UnmapPages(s.first, s.second);
            continue;
        }
        std::free(s.first);
    }
    if (spare.size() > KeepSpare)
        releaseTimer.start();
}

// The full chunk's index moves down to right after its text: one piece to
// spill and to read back.
void LogStore::sealCurrent()
{
    if (chunks.empty() || !chunks.back().data)
        return;
    Chunk &c = chunks.back();
    const qsizetype indexBytes = EntryBytes * c.lines;
    const qsizetype to = alignedUp(c.used);
    std::memmove(c.data + to, c.data + c.indexEnd - indexBytes, size_t(indexBytes));
    std::memset(c.data + c.used, 0, size_t(to - c.used)); // no stray bytes in the spill file
    c.indexEnd = to + indexBytes;
}

char *LogStore::reserve(qsizetype bytes)
{
    const auto room = [](const Chunk &c) { return c.indexEnd - EntryBytes * c.lines - c.used; };
    if (chunks.empty() || !chunks.back().data || room(chunks.back()) < bytes + EntryBytes) {
        sealCurrent();
        Chunk c;
        // A long line gets a chunk of its own size.
        c.capacity = qMax(chunkSize, alignedUp(bytes) + EntryBytes);
        c.data = allocate(c.capacity);
        c.indexEnd = c.capacity;
        c.firstLine = nextLine;
        c.serial = nextSerial++;
        chunks.push_back(c);
        resident += c.capacity;
    }
    Chunk &c = chunks.back();
    char *out = c.data + c.used;
    const quint32 start = quint32(c.used);
    std::memcpy(c.data + c.indexEnd - EntryBytes * (c.lines + 1), &start, sizeof start);
    ++c.lines;
    c.used += bytes;
    ++nextLine;
    bytesKept += bytes;
    if (resident + chunkSize > bound)
        spillCredit += 2 * (bytes + EntryBytes);
    return out;
}

QByteArrayView LogStore::append(QStringView line)
{
    const qsizetype n = line.size();
    char *out = reserve(n + 2);
    const char16_t *in = line.utf16();
    for (qsizetype i = 0; i < n; ++i)
        out[i] = in[i] < 0x100 ? char(in[i]) : '?';
    out[n] = '\r';
    out[n + 1] = '\n';
    keepWithinBound();
    return QByteArrayView(out, n);
}

QByteArrayView LogStore::append(QByteArrayView line)
{
    const qsizetype n = line.size();
    char *out = reserve(n + 2);
    if (n > 0)
        std::memcpy(out, line.data(), size_t(n));
    out[n] = '\r';
    out[n + 1] = '\n';
    keepWithinBound();
    return QByteArrayView(out, n);
}

void LogStore::keepWithinBound()
{
    if (spillBroken) {
        // No spill file: the newest lines stay, within the bound, but for
        // those an export has still to write.
        while (chunks.size() > 1 && (firstResident > 0 || resident > bound) && !pinned(chunks.front()))
            dropOldest();
        return;
    }
    // Under pressure (less than a chunk of room left) the oldest full chunk
    // is written out piece by piece as lines come in ...
    if (resident + chunkSize > bound)
        spillStep(spillCredit);
    // ... and at once, when the bound itself is passed.
    while (!spillBroken && resident > bound && firstResident + 1 < chunks.size())
        if (!spillStep(-1))
            break;
    if (spillBroken)
        keepWithinBound();
}

bool LogStore::spillStep(qsizetype budget)
{
    if (firstResident + 1 >= chunks.size())
        return false; // only the chunk being filled
    Chunk &c = chunks[firstResident];
    const qsizetype image = c.indexEnd; // text and index
    const qsizetype left = image - spillProgress;
    qsizetype piece = budget < 0 ? left : qMin(left, budget);
    if (budget >= 0 && piece < qMin(left, SpillPiece))
        return false; // too little to be worth a write yet
    if (spillFd < 0 && !openSpillFile())
        return false;
    if (spillProgress == 0)
        c.spillAt = spillEnd;
    if (!writeSpill(c.data + spillProgress, piece, c.spillAt + spillProgress))
        return false;
    spillProgress += piece;
    if (budget >= 0)
        spillCredit -= piece;
    if (spillProgress == image) {
        spillEnd = c.spillAt + image;
        spillProgress = 0;
        release(c.data, c.capacity);
        c.data = nullptr;
        resident -= c.capacity;
        ++firstResident;
        if (resident + chunkSize <= bound)
            spillCredit = 0;
    }
    return true;
}

bool LogStore::openSpillFile()
{
    QString error;
    const qintptr fd = platform::OpenScratchFile(spillFolder, &error);
    if (fd < 0) {
        spillBrokeDown(QStringLiteral("%1 in %2").arg(error, QDir::toNativeSeparators(spillFolder)));
        return false;
    }
    spillFd = fd;
    return true;
}

bool LogStore::writeSpill(const char *data, qsizetype length, qint64 at)
{
    QString error;
    if (platform::WriteAt(spillFd, data, length, at, &error))
        return true;
    spillBrokeDown(error);
    return false;
}

bool LogStore::readSpill(char *data, qsizetype length, qint64 at) const
{
    return platform::ReadAt(spillFd, data, length, at);
}

void LogStore::spillBrokeDown(const QString &why)
{
    if (spillBroken)
        return;
    spillBroken = true;
    spillError = why;
    spillProgress = 0;
    spillCredit = 0;
}

QString LogStore::takeSpillError()
{
    return std::exchange(spillError, QString());
}

void LogStore::dropOldest()
{
    Chunk &c = chunks.front();
    if (c.data) {
        release(c.data, c.capacity);
        resident -= c.capacity;
    } else {
        --firstResident;
    }
    bytesKept -= c.used;
    dropped += c.lines;
    chunks.pop_front();
    if (firstResident == 0 && spillFd >= 0) {
        platform::CloseFile(spillFd);
        spillFd = -1;
        dropCache();
    }
}

void LogStore::dropCache()
{
    for (CachedChunk &e : cache)
        if (e.data)
            release(e.data, e.capacity);
    cache.clear();
}

void LogStore::clear()
{
    for (Chunk &c : chunks)
        if (c.data)
            release(c.data, c.capacity);
    chunks.clear();
    dropCache();
    platform::CloseFile(spillFd);
    spillFd = -1;
    spillEnd = 0;
    spillProgress = 0;
    spillCredit = 0;
    spillBroken = false;
    spillError.clear();
    firstResident = 0;
    nextLine = dropped = bytesKept = resident = 0;
    ++generation;
}

const LogStore::Chunk *LogStore::chunkOf(qint64 line) const
{
    auto it = std::upper_bound(chunks.begin(), chunks.end(), line,
                               [](qint64 l, const Chunk &c) { return l < c.firstLine; });
    return it == chunks.begin() ? nullptr : &*(it - 1);
}

const char *LogStore::loaded(const Chunk &c) const
{
    if (c.data)
        return c.data;
    CachedChunk *slot = nullptr;
    for (CachedChunk &e : cache) {
        if (e.serial == c.serial) {
            e.lastUse = ++useClock;
            return e.data;
        }
    }
    if (cache.size() < CacheChunks) {
        cache.emplace_back();
        slot = &cache.back();
    } else {
        slot = &*std::min_element(cache.begin(), cache.end(), [](const CachedChunk &a, const CachedChunk &b) {
            return a.lastUse < b.lastUse;
        });
    }
    if (slot->capacity < c.indexEnd) {
        if (slot->data)
            release(slot->data, slot->capacity);
        slot->data = nullptr;
        slot->capacity = 0;
        slot->data = allocate(qMax(chunkSize, c.indexEnd));
        slot->capacity = qMax(chunkSize, c.indexEnd);
    }
    slot->serial = 0;
    if (!readSpill(slot->data, c.indexEnd, c.spillAt))
        return nullptr;
    slot->serial = c.serial;
    slot->lastUse = ++useClock;
    return slot->data;
}

const char *LogStore::readBack(const Chunk &c, std::vector<char> &scratch) const
{
    if (c.data)
        return c.data;
    for (const CachedChunk &e : cache)
        if (e.serial == c.serial)
            return e.data;
    if (scratch.size() < size_t(c.indexEnd))
        scratch.resize(size_t(c.indexEnd));
    return readSpill(scratch.data(), c.indexEnd, c.spillAt) ? scratch.data() : nullptr;
}

// Line k of the chunk whose image (text and index) is at `image`, without CR LF.
QByteArrayView LogStore::lineIn(const Chunk &c, const char *image, qsizetype k)
{
    const qsizetype begin = entryAt(image, c.indexEnd, k);
    const qsizetype end = k + 1 < c.lines ? entryAt(image, c.indexEnd, k + 1) : c.used;
    return QByteArrayView(image + begin, end - begin - 2);
}

QByteArrayView LogStore::view(qsizetype index) const
{
    if (index < 0 || index >= lineCount())
        return QByteArrayView();
    const qint64 line = dropped + index;
    const Chunk *c = chunkOf(line);
    const char *data = loaded(*c);
    if (!data)
        return QByteArrayView();
    return lineIn(*c, data, qsizetype(line - c->firstLine));
}

bool LogStore::forEachLine(qsizetype from, qsizetype to,
                           const std::function<bool(qsizetype, const char *, qsizetype)> &f) const
{
    from = qMax<qsizetype>(0, from);
    to = qMin(to, lineCount());
    std::vector<char> scratch;
    qint64 line = dropped + from;
    const qint64 end = dropped + to;
    while (line < end) {
        const Chunk *c = chunkOf(line);
        const char *data = readBack(*c, scratch);
        if (!data)
            return false;
        for (qsizetype k = qsizetype(line - c->firstLine); k < c->lines && line < end; ++k, ++line) {
            const QByteArrayView text = lineIn(*c, data, k);
            if (!f(qsizetype(line - dropped), text.data(), text.size()))
                return false;
        }
    }
    return true;
}

bool LogStore::writeTo(QIODevice &out, const std::function<bool(qint64, qint64)> &progress,
                       QString *reason) const
{
    if (reason)
        reason->clear();
    Export e(*this);
    while (!e.done()) {
        if (!e.writeSome(out, chunkSize, reason))
            return false;
        if (progress && !progress(e.writtenBytes(), e.totalBytes()))
            return false;
    }
    return true;
}

bool LogStore::pinned(const Chunk &c) const
{
    for (const Export *e : exports)
        if (e->generation == generation && !e->done() && e->serial <= c.serial)
            return true;
    return false;
}

LogStore::Export::Export(const LogStore &s) : store(&s), generation(s.generation), total(s.bytesKept)
{
    if (!s.chunks.empty()) {
        serial = s.chunks.front().serial;
        lastSerial = s.chunks.back().serial;
        lastUsed = s.chunks.back().used;
    }
    s.exports.push_back(this);
}

LogStore::Export::~Export()
{
    if (store)
        store->exports.erase(std::find(store->exports.begin(), store->exports.end(), this));
}

bool LogStore::Export::writeSome(QIODevice &out, qint64 budget, QString *reason)
{
    const auto fail = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (!store)
        return fail(QStringLiteral("the log was closed while it was being written"));
    if (store->generation != generation)
        return fail(QStringLiteral("the log was cleared while it was being written"));
    qint64 spent = 0;
    while (!done() && (spent == 0 || spent < budget)) {
        // Chunks come and go only at the ends, and no chunk still to be
        // written is dropped: the one under way is found by its serial.
        const auto &chunks = store->chunks;
        const auto it = std::lower_bound(chunks.begin(), chunks.end(), serial,
                                         [](const Chunk &c, quint64 s) { return c.serial < s; });
        if (it == chunks.end() || it->serial != serial)
            return fail(QStringLiteral("lines of the log were dropped while it was being written"));
        const Chunk &c = *it;
        const qsizetype end = c.serial == lastSerial ? lastUsed : c.used;
        if (offset >= end) {
            if (c.serial == lastSerial) // not all there: never so, but no endless loop
                return fail(QStringLiteral("the log's text was not all there to be written"));
            ++serial;
            offset = 0;
            continue;
        }
        const qsizetype piece = qMin(end - offset, ExportPiece);
        const char *data = nullptr;
        if (c.data) {
            data = c.data + offset;
        } else {
            for (const CachedChunk &e : store->cache)
                if (e.serial == c.serial)
                    data = e.data + offset;
            if (!data) {
                if (scratch.size() < size_t(piece))
                    scratch.resize(size_t(piece));
                if (!store->readSpill(scratch.data(), piece, c.spillAt + offset))
                    return fail(QStringLiteral("the log's spill file could not be read back"));
                data = scratch.data();
            }
        }
        // A short write is followed by another one, which then tells why.
        for (qsizetype at = 0; at < piece;) {
            const qint64 n = out.write(data + at, piece - at);
            if (n <= 0)
                return fail(out.errorString());
            at += qsizetype(n);
        }
        offset += piece;
        written += piece;
        spent += piece;
    }
    return true;
}
