#pragma once
// The traffic log's text: every line as 8-bit text followed by CR LF, packed
// into fixed-size chunks (a line never straddles two), with one 32-bit
// offset per line as the index. Appending writes into the newest chunk and
// never copies what is stored already.
//
// At most `memoryBound` bytes of chunks stay in memory. Older full chunks
// go to one spill file in the temporary folder (unlinked at once where the
// system allows it, so it goes away with the program, even after a crash)
// and are read back when they are needed. When the spill file cannot be
// written, the store says so once (takeSpillError) and from then on drops
// its oldest chunks to stay within the bound.

#include <QByteArrayView>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QIODevice;

class LogStore {
public:
    static constexpr qsizetype DefaultChunkBytes = qsizetype(1) << 20;
    static constexpr qint64 DefaultMemoryBound = qint64(512) << 20;

    explicit LogStore(qsizetype chunkBytes = DefaultChunkBytes, qint64 memoryBound = DefaultMemoryBound);
    ~LogStore();
    LogStore(const LogStore &) = delete;
    LogStore &operator=(const LogStore &) = delete;

    // Where the spill file goes (the temporary folder unless set); takes
    // effect with the next spill file, that is, now or after clear().
    void setSpillFolder(const QString &folder);
    void setMemoryBound(qint64 bytes);
    qint64 memoryBound() const { return bound; }
    qsizetype chunkBytes() const { return chunkSize; }

    // Appends one line (characters beyond Latin-1 become '?'). The stored
    // bytes are returned; they stay valid until the next call on the store.
    QByteArrayView append(QStringView line);
    QByteArrayView append(QByteArrayView line);
    // Empties the store. Chunk memory is given back in short slices on the
    // event loop, so that clearing a large log does not stall it.
    void clear();

    qsizetype lineCount() const { return qsizetype(nextLine - dropped); }
    // The line's bytes without CR LF, valid until the next call on the store;
    // empty when out of range or when a spilled chunk cannot be read back.
    QByteArrayView view(qsizetype index) const;
    QByteArray lineBytes(qsizetype index) const { return view(index).toByteArray(); }
    // Calls f for the lines [from, to) in order, with the bytes (without
    // CR LF) valid only during the call; stops when f returns false. False
    // when it stopped early or a spilled chunk could not be read back.
    bool forEachLine(qsizetype from, qsizetype to,
                     const std::function<bool(qsizetype index, const char *data, qsizetype length)> &f) const;
    // Writes every line followed by CR LF to `out`. `progress` (may be
    // empty) hears after every chunk how many of the bytes are written; when
    // it returns false the writing stops. Lines appended meanwhile are not
    // written. False with the reason on a write or read-back error, and on a
    // stop (empty reason).
    bool writeTo(QIODevice &out, const std::function<bool(qint64 done, qint64 total)> &progress,
                 QString *reason) const;

    // The bytes of all lines kept, CR LF included: the size of writeTo's output.
    qint64 textBytes() const { return bytesKept; }
    // Chunk memory held for the text (the spill-file read cache not included).
    qint64 residentBytes() const { return resident; }
    qint64 spilledBytes() const { return spillEnd; }
    // Lines dropped from the start since the last clear().
    qint64 droppedLines() const { return dropped; }
    // Set once when the spill file could not be created or written.
    QString takeSpillError();
    bool spillFailed() const { return spillBroken; }

private:
    struct Chunk {
        char *data = nullptr; // null once the chunk is in the spill file
        qsizetype capacity = 0;
        qsizetype used = 0;
        qint64 firstLine = 0; // counted since the last clear, dropped lines included
        qint64 spillAt = -1; // offset in the spill file
        quint64 serial = 0;
        std::vector<quint32> starts; // each line's offset in `data`
    };
    struct CachedChunk {
        quint64 serial = 0;
        char *data = nullptr; // from allocate()
        qsizetype capacity = 0;
        quint64 lastUse = 0;
    };

    char *reserve(qsizetype bytes);
    void sealCurrent();
    void keepWithinBound();
    bool spillStep(qsizetype budget);
    bool openSpillFile();
    bool writeSpill(const char *data, qsizetype length, qint64 at);
    bool readSpill(char *data, qsizetype length, qint64 at) const;
    void spillBrokeDown(const QString &why);
    void dropOldest();
    const Chunk *chunkOf(qint64 line) const;
    const char *loaded(const Chunk &c) const;
    const char *readBack(const Chunk &c, std::vector<char> &scratch) const;
    char *allocate(qsizetype bytes) const;
    void release(char *data, qsizetype bytes) const;
    void releaseSlice() const;
    void dropCache();

    const qsizetype chunkSize;
    qint64 bound;
    QString spillFolder;
    std::deque<Chunk> chunks;
    size_t firstResident = 0; // chunks before it are in the spill file
    qint64 nextLine = 0;
    qint64 dropped = 0;
    qint64 bytesKept = 0;
    qint64 resident = 0;
    quint64 nextSerial = 1;

    // The spill file, and how far the oldest resident chunk is written to it.
    qintptr spillFd = -1;
    QString spillName; // where it cannot be unlinked while open
    qint64 spillEnd = 0;
    qsizetype spillProgress = 0;
    qint64 spillCredit = 0;
    bool spillBroken = false;
    QString spillError;

    mutable std::vector<CachedChunk> cache;
    mutable quint64 useClock = 0;
    mutable int writers = 0; // writeTo calls under way: no chunk is dropped
    quint64 generation = 0; // changes with every clear()

    // Freed chunk memory, for reuse (its pages are there already) or release.
    mutable std::vector<std::pair<char *, qsizetype>> spare;
    mutable QTimer releaseTimer;
};
