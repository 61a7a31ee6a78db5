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
} // namespace

LogStore::LogStore(qsizetype chunkBytes, qint64 memoryBound)
    : chunkSize(qMax<qsizetype>(16, chunkBytes)), bound(memoryBound), spillFolder(QDir::tempPath())
{
    releaseTimer.setSingleShot(true);
    releaseTimer.setInterval(0);
    QObject::connect(&releaseTimer, &QTimer::timeout, &releaseTimer, [this] { releaseSlice(); });
}

LogStore::~LogStore()
{
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

void LogStore::sealCurrent()
{
    if (chunks.empty())
        return;
    Chunk &c = chunks.back();
    c.starts.shrink_to_fit();
}

char *LogStore::reserve(qsizetype bytes)
{
    if (chunks.empty() || !chunks.back().data || chunks.back().capacity - chunks.back().used < bytes) {
        sealCurrent();
        Chunk c;
        c.capacity = qMax(chunkSize, bytes); // a long line gets a chunk of its own size
        c.data = allocate(c.capacity);
        c.firstLine = nextLine;
        c.serial = nextSerial++;
        c.starts.reserve(size_t(qMin<qsizetype>(4096, c.capacity / 32 + 1)));
        chunks.push_back(std::move(c));
        resident += chunks.back().capacity;
    }
    Chunk &c = chunks.back();
    char *out = c.data + c.used;
    c.starts.push_back(quint32(c.used));
    c.used += bytes;
    ++nextLine;
    bytesKept += bytes;
    if (resident + chunkSize > bound)
        spillCredit += 2 * bytes;
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
        // No spill file: the newest lines stay, within the bound. Nothing is
        // dropped while a writer walks the chunks.
        while (writers == 0 && chunks.size() > 1 && (firstResident > 0 || resident > bound))
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
    const qsizetype left = c.used - spillProgress;
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
    if (spillProgress == c.used) {
        spillEnd = c.spillAt + c.used;
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
    dropped += qint64(c.starts.size());
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
    if (slot->capacity < c.used) {
        if (slot->data)
            release(slot->data, slot->capacity);
        slot->data = nullptr;
        slot->capacity = 0;
        slot->data = allocate(qMax(chunkSize, c.used));
        slot->capacity = qMax(chunkSize, c.used);
    }
    slot->serial = 0;
    if (!readSpill(slot->data, c.used, c.spillAt))
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
    if (scratch.size() < size_t(c.used))
        scratch.resize(size_t(c.used));
    return readSpill(scratch.data(), c.used, c.spillAt) ? scratch.data() : nullptr;
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
    const size_t k = size_t(line - c->firstLine);
    const qsizetype begin = c->starts[k];
    const qsizetype end = k + 1 < c->starts.size() ? qsizetype(c->starts[k + 1]) : c->used;
    return QByteArrayView(data + begin, end - begin - 2);
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
        const size_t count = c->starts.size();
        for (size_t k = size_t(line - c->firstLine); k < count && line < end; ++k, ++line) {
            const qsizetype begin = c->starts[k];
            const qsizetype stop = k + 1 < count ? qsizetype(c->starts[k + 1]) : c->used;
            if (!f(qsizetype(line - dropped), data + begin, stop - begin - 2))
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
    if (chunks.empty())
        return true;
    // What is there now is written; lines appended meanwhile (while the
    // progress hook lets events run) are not.
    const quint64 lastSerial = chunks.back().serial;
    const qsizetype lastUsed = chunks.back().used;
    const quint64 startGeneration = generation;
    const qint64 total = bytesKept;
    ++writers;
    struct Done {
        int &n;
        ~Done() { --n; }
    } done{writers};

    std::vector<char> scratch;
    qint64 written = 0;
    for (size_t i = 0; i < chunks.size() && chunks[i].serial <= lastSerial; ++i) {
        const Chunk &c = chunks[i];
        const qsizetype bytes = c.serial == lastSerial ? lastUsed : c.used;
        const char *data = readBack(c, scratch);
        if (!data) {
            if (reason)
                *reason = QStringLiteral("the log's spill file could not be read back");
            return false;
        }
        // A short write is followed by another one, which then tells why.
        for (qsizetype at = 0; at < bytes;) {
            const qint64 n = out.write(data + at, bytes - at);
            if (n <= 0) {
                if (reason)
                    *reason = out.errorString();
                return false;
            }
            at += qsizetype(n);
        }
        written += bytes;
        if (progress && !progress(written, total))
            return false;
        if (generation != startGeneration) {
            if (reason)
                *reason = QStringLiteral("the log was cleared while it was being written");
            return false;
        }
    }
    return true;
}
