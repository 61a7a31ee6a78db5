#pragma once
// The traffic log's text: every line as 8-bit text followed by CR LF, packed
// into fixed-size chunks (a line never straddles two). Each chunk carries its
// own line index, one 32-bit offset per line: the text grows from the
// chunk's start, the index from its end, and when the chunk is full the
// index is moved down to follow the text. Appending writes into the newest
// chunk and never copies what is stored already.
//
// At most `memoryBound` bytes of chunks, text and index together, stay in
// memory. Older full chunks go, with their index, to one spill file in the
// temporary folder (unlinked at once where the system allows it, so it goes
// away with the program, even after a crash) and are read back whole when
// they are needed. What stays in memory for a spilled chunk is a few dozen
// bytes of bookkeeping, whatever its number of lines. When the spill file
// cannot be written, the store says so once (takeSpillError) and from then
// on drops its oldest chunks to stay within the bound.

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

    // The text as it stands when the Export is made, written out piece by
    // piece while lines go on being appended; the lines appended meanwhile
    // are not in it. While it is under way the store drops no chunk that is
    // still to be written (without a spill file it stays past its bound by
    // what arrives meanwhile), and a clear() makes it fail.
    class Export {
    public:
        explicit Export(const LogStore &store);
        ~Export();
        Export(const Export &) = delete;
        Export &operator=(const Export &) = delete;

        qint64 totalBytes() const { return total; }
        qint64 writtenBytes() const { return written; }
        bool done() const { return written >= total; }
        // Writes the next `budget` bytes or so (at least one piece) to
        // `out`. False, with the reason, on a write or read-back error and
        // when the log was cleared or destroyed.
        bool writeSome(QIODevice &out, qint64 budget, QString *reason);

    private:
        friend class LogStore;
        const LogStore *store;
        quint64 generation;
        quint64 serial = 0; // the chunk being written
        qsizetype offset = 0; // how far into it
        quint64 lastSerial = 0; // the last chunk at the start, and its text then
        qsizetype lastUsed = 0;
        qint64 total = 0;
        qint64 written = 0;
        std::vector<char> scratch;
    };

    // The bytes of all lines kept, CR LF included: the size of writeTo's output.
    qint64 textBytes() const { return bytesKept; }
    // Chunk memory held for the text and its index (the spill-file read
    // cache not included).
    qint64 residentBytes() const { return resident; }
    // All the memory the store holds: resident chunks, the read-back cache,
    // freed chunks not yet given back, and its notes on every chunk.
    qint64 heldBytes() const;
    qint64 spilledBytes() const { return spillEnd; }
    // Lines dropped from the start since the last clear().
    qint64 droppedLines() const { return dropped; }
    // Set once when the spill file could not be created or written.
    QString takeSpillError();
    bool spillFailed() const { return spillBroken; }

private:
    // A chunk's image: the text from offset 0 to `used`, and the index
    // ending at `indexEnd`, line k's start at indexEnd - 4 (k + 1). The
    // chunk being filled has its index at the very end (indexEnd ==
    // capacity); a full one has it right after the text, so that text and
    // index are one piece of `indexEnd` bytes, in memory as in the spill file.
    struct Chunk {
        char *data = nullptr; // null once the chunk is in the spill file
        qsizetype capacity = 0;
        qsizetype used = 0;
        qsizetype indexEnd = 0;
        qsizetype lines = 0;
        qint64 firstLine = 0; // counted since the last clear, dropped lines included
        qint64 spillAt = -1; // offset in the spill file
        quint64 serial = 0;
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
    static QByteArrayView lineIn(const Chunk &c, const char *image, qsizetype k);
    bool pinned(const Chunk &c) const;
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
    qint64 spillEnd = 0;
    qsizetype spillProgress = 0;
    qint64 spillCredit = 0;
    bool spillBroken = false;
    QString spillError;

    mutable std::vector<CachedChunk> cache;
    mutable quint64 useClock = 0;
    mutable std::vector<Export *> exports; // under way: what they still need stays
    quint64 generation = 0; // changes with every clear()

    // Freed chunk memory, for reuse (its pages are there already) or release.
    mutable std::vector<std::pair<char *, qsizetype>> spare;
    mutable QTimer releaseTimer;
};
