// The log's text store: chunks, the spill file, and what happens when the
// spill file cannot be written.

#include "log/logstore.h"
#include "log/logview.h"
#include "platform/testsupport.h"
#include "support/formfixture.h"
#include "support/helpers.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray written(const LogStore &store, QString *reason = nullptr)
{
    QByteArray bytes;
    QBuffer out(&bytes);
    out.open(QIODevice::WriteOnly);
    QString why;
    if (!store.writeTo(out, {}, &why))
        qWarning("writeTo failed: %s", qPrintable(why));
    if (reason)
        *reason = why;
    return bytes;
}

QByteArray joined(const QList<QByteArray> &lines)
{
    QByteArray out;
    for (const QByteArray &l : lines)
        out += l + "\r\n";
    return out;
}

// Every way of reading gives back exactly `expected`.
void checkContents(const LogStore &store, const QList<QByteArray> &expected)
{
    QCOMPARE(store.lineCount(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(store.lineBytes(i), expected[i]);
    QList<QByteArray> seen;
    QVERIFY(store.forEachLine(0, store.lineCount(), [&](qsizetype index, const char *data, qsizetype length) {
        if (index != seen.size())
            return false;
        seen << QByteArray(data, length);
        return true;
    }));
    QCOMPARE(seen, expected);
    QCOMPARE(written(store), joined(expected));
    QCOMPARE(store.textBytes(), joined(expected).size());
}

QByteArray numbered(int i)
{
    return "line " + QByteArray::number(i) + QByteArray(i % 37, char('a' + i % 26));
}

} // namespace

class TestLogStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void chunkBoundariesLongLinesAndEveryByte()
    {
        LogStore store(64);
        QByteArray every;
        for (int b = 0; b < 256; ++b)
            every += char(b);
        QList<QByteArray> lines = {QByteArray(),
                                   QByteArray(58, 'x'), // fills a chunk exactly, CR LF and index included
                                   QByteArray(59, 'y'), // one byte too many: a chunk of its own
                                   "a",
                                   every,
                                   QByteArray(16384, '\xe9'),
                                   "\r\n\r",
                                   QByteArray(30, 'z'),
                                   QByteArray(30, 'w')};
        for (const QByteArray &l : lines)
            store.append(QByteArrayView(l));
        // Characters beyond Latin-1 turn into '?', like QString::toLatin1.
        QString wide = QString::fromLatin1(every);
        wide += QChar(0x20ac);
        store.append(QStringView(wide));
        lines << every + '?';
        checkContents(store, lines);
        QCOMPARE(store.lineBytes(-1), QByteArray());
        QCOMPARE(store.lineBytes(lines.size()), QByteArray());

        // A part of the lines, and an early stop.
        int calls = 0;
        QVERIFY(!store.forEachLine(3, 8, [&](qsizetype index, const char *, qsizetype) {
            ++calls;
            return index < 5;
        }));
        QCOMPARE(calls, 3);
    }

    void spillsOldChunksAndReadsThemBack()
    {
        QTemporaryDir folder;
        LogStore store(256, 1024);
        store.setSpillFolder(folder.path());
        QList<QByteArray> lines;
        for (int i = 0; i < 400; ++i) {
            lines << numbered(i);
            store.append(QByteArrayView(lines.last()));
            QVERIFY(store.residentBytes() <= 1024);
        }
        QVERIFY(store.spilledBytes() > store.textBytes() / 2);
        QVERIFY(!store.spillFailed());
        QCOMPARE(store.droppedLines(), 0);
        checkContents(store, lines);
        // Read back out of order too, through the small cache.
        for (int i : {399, 0, 200, 1, 398, 57, 0})
            QCOMPARE(store.lineBytes(i), lines[i]);
        // The spill file has no name in the folder. (Wine keeps the name of
        // a file deleted while open until it is closed.)
        if (!platform::test::UnderWine())
            QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList());

        // Cleared: empty, and filling it spills again.
        store.clear();
        QCOMPARE(store.lineCount(), 0);
        QCOMPARE(written(store), QByteArray());
        QCOMPARE(store.spilledBytes(), 0);
        lines.clear();
        for (int i = 0; i < 100; ++i) {
            lines << numbered(i * 7);
            store.append(QByteArrayView(lines.last()));
        }
        QVERIFY(store.spilledBytes() > 0);
        checkContents(store, lines);
    }

    void spilledChunksLeaveNoIndexInMemory()
    {
        QTemporaryDir folder;
        const qint64 bound = 4 * 4096;
        LogStore store(4096, bound);
        store.setSpillFolder(folder.path());
        // Short lines, whose index entries weigh most: 3 bytes of text, CR
        // LF and 4 bytes of index.
        QList<QByteArray> lines;
        const auto add = [&](int count) {
            for (int i = 0; i < count; ++i) {
                lines << QByteArray::number(100 + lines.size() % 900);
                store.append(QByteArrayView(lines.last()));
            }
        };
        add(20000);
        QVERIFY(store.spilledBytes() > 0);
        QVERIFY(store.residentBytes() <= bound);
        const qint64 held = store.heldBytes();
        add(200000);
        QVERIFY(store.residentBytes() <= bound);
        // What is left in memory of a spilled chunk does not grow with its
        // lines: well under a byte a line.
        const qint64 growth = store.heldBytes() - held;
        QVERIFY2(growth < 200000 / 4, qPrintable(QString::number(growth)));
        QVERIFY(store.spilledBytes() > 200000 * 9 - bound);
        // Lines come back right from the spill file, in any order.
        for (int i : {0, 219999, 1, 100000, 4095, 4096, 150001, 0})
            QCOMPARE(store.lineBytes(i), lines[i]);
        checkContents(store, lines);
    }

    void exportWritesTheLinesOfItsStart()
    {
        // With the spill file, and without one: then chunks are dropped as
        // lines come, but none the export has still to write.
        for (const bool spill : {true, false}) {
            QTemporaryDir folder;
            LogStore store(256, 1024);
            store.setSpillFolder(folder.path() + (spill ? "" : "/missing"));
            for (int i = 0; i < 100; ++i)
                store.append(QByteArrayView(numbered(i)));
            QByteArray expected = written(store);
            QByteArray out;
            QBuffer buffer(&out);
            buffer.open(QIODevice::WriteOnly);
            {
                LogStore::Export e(store);
                QCOMPARE(e.totalBytes(), expected.size());
                QString why;
                int pieces = 0;
                while (!e.done()) {
                    QVERIFY2(e.writeSome(buffer, 100, &why), qPrintable(why));
                    ++pieces;
                    for (int i = 0; i < 10; ++i)
                        store.append(QByteArrayView(numbered(1000 + i)));
                }
                QVERIFY(pieces > 2);
                QCOMPARE(e.writtenBytes(), expected.size());
            }
            QCOMPARE(out, expected);
            QCOMPARE(store.spillFailed(), !spill);
            // The export is over: the bound holds again from the next line.
            store.append(QByteArrayView("x"));
            QVERIFY(store.residentBytes() <= 1024);
        }
    }

    void withoutSpillFileKeepsTheNewestLines()
    {
        QTemporaryDir folder;
        LogStore store(256, 1024);
        store.setSpillFolder(folder.path() + QStringLiteral("/missing"));
        QList<QByteArray> lines;
        QStringList errors;
        for (int i = 0; i < 400; ++i) {
            lines << numbered(i);
            store.append(QByteArrayView(lines.last()));
            const QString error = store.takeSpillError();
            if (!error.isEmpty())
                errors << error;
            QVERIFY(store.residentBytes() <= 1024);
        }
        QCOMPARE(errors.size(), 1); // said once
        QVERIFY(errors[0].contains(QStringLiteral("missing")));
        QVERIFY(store.spillFailed());
        QVERIFY(store.droppedLines() > 0);
        QCOMPARE(store.droppedLines() + store.lineCount(), 400);
        checkContents(store, lines.mid(int(store.droppedLines())));
    }

    void spillWriteFailureAfterSomeChunksWereSpilled()
    {
        // The spill file stops growing (a full disk): the lines already
        // spilled go too, so that what stays is the newest lines, in order.
        QTemporaryDir folder;
        LogStore store(256, 1024);
        store.setSpillFolder(folder.path());
        QList<QByteArray> lines;
        for (int i = 0; i < 100; ++i) {
            lines << numbered(i);
            store.append(QByteArrayView(lines.last()));
        }
        QVERIFY(store.spilledBytes() > 0);
        QString error;
        {
            platform::test::FileSizeLimit limit(store.spilledBytes() + 100);
            if (!limit.applied)
                QSKIP("this system has no file-size limit for one process");
            for (int i = 100; i < 300; ++i) {
                lines << numbered(i);
                store.append(QByteArrayView(lines.last()));
                if (error.isEmpty())
                    error = store.takeSpillError();
            }
        }
        QVERIFY2(error.contains(QStringLiteral("large"), Qt::CaseInsensitive), qPrintable(error));
        QVERIFY(store.residentBytes() <= 1024);
        QCOMPARE(store.spilledBytes() > 0, true);
        checkContents(store, lines.mid(int(store.droppedLines())));
        QVERIFY(store.lineCount() < 300 && store.lineCount() > 10);
    }

    void windowLogsTheSpillFailureOnceAndStaysBounded()
    {
        FormFixture f(iniWithFreeRelayPort());
        TrafficLogView *log = f->MemoLog;
        LogStore &store = log->store();
        store.setSpillFolder(f.dir() + QStringLiteral("/no such folder"));
        store.setMemoryBound(4 * store.chunkBytes());
        const QString line = QStringLiteral("12.30.05:123  <<< 00100 # ") + QString(200, QLatin1Char('d'));
        // Past the bound by two chunks: the event line, written when the
        // first chunk should have gone to the spill file, is still there.
        const int total = int(6 * store.chunkBytes() / line.size());
        for (int i = 0; i < total; ++i)
            f->AppendLog(line);
        QVERIFY(store.residentBytes() <= store.memoryBound());
        QVERIFY(log->lineCount() < total);
        int events = 0;
        log->forEachLine(0, log->lineCount(), [&](int, const char *data, qsizetype length) {
            const QByteArray text(data, length);
            if (text.startsWith("---------- Log spill file could not be written: ")) {
                ++events;
                if (!text.endsWith("; the oldest lines are dropped") || !text.contains("no such folder"))
                    return false;
            } else if (text != line.toLatin1()) {
                return false;
            }
            return true;
        });
        QCOMPARE(events, 1);
        // The cursor and the view stay on the lines that are left.
        log->setCursorLine(log->lineCount() - 1);
        QCOMPARE(log->cursorLine(), log->lineCount() - 1);
        f->AppendLog(line);
        QVERIFY(log->cursorLine() < log->lineCount());
    }
};

QTEST_MAIN(TestLogStore)
#include "tst_logstore.moc"
