#include "log/logview.h"
#include "platform/testsupport.h"
#include "support/formfixture.h"
#include "support/helpers.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

namespace {

// Appends `line` to the log and double-clicks it with `mods` held.
void pick(FormFixture &f, const QString &line, Qt::KeyboardModifiers mods)
{
    f->AppendLog(line);
    TrafficLogView *log = f->MemoLog;
    log->flushPending();
    log->setCursorLine(log->lineCount() - 1);
    f.modifiers = mods;
    f->RunHandler([&f] { f->MemoLogDblClick(); });
    f.modifiers = Qt::NoModifier;
}

const QString Stamp = QStringLiteral("12.30.05:123  ");

// Clicks Save Log, which asks for a file name (the next of `fileAnswers`),
// and waits until the save has ended. False, with the test failed, when it
// does not end.
bool saveLog(FormFixture &f)
{
    f->BtSaveLog->click();
    bool ended = false;
    [&] {
        QTRY_VERIFY(f->logSave.isNull());
        ended = true;
    }();
    return ended;
}

// Lines enough for several slices of a save, a fifth of them spilled.
QByteArray fillLog(FormFixture &f, qint64 bytes)
{
    LogStore &store = f->MemoLog->store();
    store.setSpillFolder(f.dir());
    store.setMemoryBound(qMax<qint64>(4 * store.chunkBytes(), bytes * 4 / 5));
    const QString line = Stamp + QStringLiteral("<<< 00100 # X(1.0), Y(2.0), Z(3.0) ");
    for (int i = 0; store.textBytes() < bytes; ++i)
        f->AppendLog(line + QString::number(i));
    return logBytes(f->MemoLog);
}

} // namespace

class TestExport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void savesEveryLineWithCrLf()
    {
        FormFixture f(iniWithFreeRelayPort());
        f->AppendLog(Stamp + QStringLiteral(">>> 00100 EnableUser()"));
        QByteArray all;
        for (int i = 1; i < 256; ++i)
            all += char(i);
        f->AppendLog(QString::fromLatin1(all));
        f.fileAnswers << f.dir() + QStringLiteral("/run");
        QVERIFY(saveLog(f));
        QCOMPARE(f.dialogs.size(), 1);
        QCOMPARE(f.dialogs[0].kind, QStringLiteral("save"));
        QCOMPARE(f.dialogs[0].title, QStringLiteral("Write log to file"));
        QCOMPARE(f.dialogs[0].filter, QStringLiteral("Text files|*.txt"));
        // The never-cleared log starts with its empty line; bytes are as logged.
        QCOMPARE(readFile(f.dir() + QStringLiteral("/run.txt")),
                 "\r\n" + (Stamp + QStringLiteral(">>> 00100 EnableUser()")).toLatin1() + "\r\n" + all
                     + "\r\n");
        QVERIFY(f.messages.isEmpty());

        // A cleared log is an empty file; an existing file is replaced without a question.
        f->BtClearLogClick();
        f.fileAnswers << f.dir() + QStringLiteral("/run.txt");
        QVERIFY(saveLog(f));
        QVERIFY(QFile::exists(f.dir() + QStringLiteral("/run.txt")));
        QCOMPARE(readFile(f.dir() + QStringLiteral("/run.txt")), QByteArray());
        QCOMPARE(f.dialogs.size(), 2);
        QVERIFY(f.messages.isEmpty());
    }

    void savesASpilledLogByteExact()
    {
        FormFixture f(iniWithFreeRelayPort());
        LogStore &store = f->MemoLog->store();
        store.setSpillFolder(f.dir());
        store.setMemoryBound(2 * store.chunkBytes());
        QByteArray expected = "\r\n";
        for (int i = 0; expected.size() < 5 * store.chunkBytes(); ++i) {
            const QString line = Stamp
                + QStringLiteral("<<< %1 # X(%2) \x01\xff").arg(i % 100000, 5, 10, QLatin1Char('0')).arg(i);
            f->AppendLog(line);
            expected += line.toLatin1() + "\r\n";
        }
        QVERIFY(store.spilledBytes() > 2 * store.chunkBytes());
        f.fileAnswers << f.dir() + QStringLiteral("/big.txt");
        QVERIFY(saveLog(f));
        QVERIFY(f.messages.isEmpty());
        QCOMPARE(readFile(f.dir() + QStringLiteral("/big.txt")), expected);
    }

    // A folder and a file name with letters from beyond any one code page,
    // and spaces, given the system's way (backslashes on Windows): the
    // spill file goes there, and the saved log keeps its bytes and CR LF.
    void savesWhereverTheNameLeads()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QString folder = f.dir() + QStringLiteral("/Pr\u00fcfung \u03a9 \u6e2c\u5b9a");
        QVERIFY(QDir().mkpath(folder));
        LogStore &store = f->MemoLog->store();
        store.setSpillFolder(folder);
        store.setMemoryBound(2 * store.chunkBytes());
        QByteArray expected = "\r\n";
        for (int i = 0; expected.size() < 4 * store.chunkBytes(); ++i) {
            const QString line = Stamp + QStringLiteral("<<< 00100 # X(%1) \xe9").arg(i);
            f->AppendLog(line);
            expected += line.toLatin1() + "\r\n";
        }
        QVERIFY(store.spilledBytes() > 0);
        QCOMPARE(store.takeSpillError(), QString());
        const QString target = folder + QStringLiteral("/log \u00e9 \u0416.txt");
        f.fileAnswers << QDir::toNativeSeparators(target);
        QVERIFY(saveLog(f));
        QVERIFY(f.messages.isEmpty());
        QCOMPARE(readFile(target), expected);
    }

    void fileNameGetsTxtUnlessItHasIt_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("written");
        QTest::newRow("plain") << "run"
                               << "run.txt";
        QTest::newRow("other extension") << "run.log"
                                         << "run.log.txt";
        QTest::newRow("txt inside") << "run.txt.old"
                                    << "run.txt.old";
        QTest::newRow("upper case") << "RUN.TXT"
                                    << "RUN.TXT";
        QTest::newRow("mixed case") << "Run.Txt"
                                    << "Run.Txt";
    }
    void fileNameGetsTxtUnlessItHasIt()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, written);
        FormFixture f(iniWithFreeRelayPort());
        f.fileAnswers << f.dir() + QLatin1Char('/') + chosen;
        QVERIFY(saveLog(f));
        QCOMPARE(QDir(f.dir()).entryList({QStringLiteral("*un*")}, QDir::Files), QStringList{written});
    }

    void cancelWritesNothing()
    {
        FormFixture f(iniWithFreeRelayPort());
        f->BtSaveLog->click(); // no answer: cancelled
        QCOMPARE(f.dialogs.size(), 1);
        QCOMPARE(QDir(f.dir()).entryList({QStringLiteral("*.txt")}, QDir::Files), QStringList());
        QVERIFY(f.messages.isEmpty());
    }

    void failedExportReportedAndOldFileKept()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QString target = f.dir() + QStringLiteral("/old.txt");
        {
            QFile old(target);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("keep me\r\n");
        }
        for (int i = 0; i < 50; ++i)
            f->AppendLog(Stamp + QStringLiteral("<<< 00100 # a line of data"));
        f.fileAnswers << target;
        {
            platform::test::FileSizeLimit limit(64);
            if (!limit.applied)
                QSKIP("this system has no file-size limit for one process");
            QVERIFY(saveLog(f));
        }
        QCOMPARE(f.messages.size(), 1);
        QCOMPARE(f.messages[0].icon, QMessageBox::Critical);
        QVERIFY2(f.messages[0].text.contains(QDir::toNativeSeparators(target)),
                 qPrintable(f.messages[0].text));
        QVERIFY2(f.messages[0].text.contains(QStringLiteral("large"), Qt::CaseInsensitive),
                 qPrintable(f.messages[0].text));
        QCOMPARE(readFile(target), QByteArray("keep me\r\n"));
        QCOMPARE(QDir(f.dir()).entryList({QStringLiteral("old*")}, QDir::Files),
                 QStringList{QStringLiteral("old.txt")});

        // A folder that cannot exist: the path runs through a regular file.
        f.fileAnswers << target + QStringLiteral("/log.txt");
        QVERIFY(saveLog(f));
        QCOMPARE(f.messages.size(), 2);
        QVERIFY(f.messages[1].text.contains(target + QStringLiteral("/log.txt")));
        QCOMPARE(readFile(target), QByteArray("keep me\r\n"));
    }

    void linesArrivingDuringASaveAreNotInTheFile()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QByteArray expected = fillLog(f, 16 << 20);
        const int lines = f->MemoLog->lineCount();
        const QString path = f.dir() + QStringLiteral("/during.txt");
        f.fileAnswers << path;
        f->BtSaveLog->click();
        QVERIFY(!f->logSave.isNull());
        // The handler is back: the window's loop runs timers, and lines come
        // in, while the save goes on. Enough of them that chunks the save
        // still has to write go to the spill file meanwhile.
        f->AppendLog(Stamp + QStringLiteral(">>> 00200 Appended()"));
        int turns = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (f->logSave.isNull())
                return tick.stop();
            ++turns;
            for (int i = 0; i < 5000; ++i)
                f->AppendLog(Stamp + QStringLiteral("<<< 00200 # during the save %1").arg(i));
        });
        tick.start(0);
        const qint64 spilledBefore = f->MemoLog->store().spilledBytes();
        QTRY_VERIFY(f->logSave.isNull());
        QVERIFY2(turns >= 2, qPrintable(QString::number(turns)));
        QVERIFY(f->MemoLog->store().spilledBytes() > spilledBefore);
        QVERIFY(f.messages.isEmpty());
        QCOMPARE(readFile(path), expected);
        QCOMPARE(f->MemoLog->lineCount(), lines + 1 + 5000 * turns);
    }

    void clearDuringASaveKeepsTheOldFile()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QString target = f.dir() + QStringLiteral("/old.txt");
        writeFile(target, "keep me\r\n");
        fillLog(f, 16 << 20);
        f.fileAnswers << target;
        f->BtSaveLog->click();
        QVERIFY(!f->logSave.isNull());
        // A second save waits for the first: the operator is told, and asked nothing.
        f->BtSaveLog->click();
        QCOMPARE(f.dialogs.size(), 1);
        QCOMPARE(f.messages.size(), 1);
        QCOMPARE(f.messages[0].icon, QMessageBox::Information);
        QVERIFY2(f.messages[0].text.contains(QDir::toNativeSeparators(target)),
                 qPrintable(f.messages[0].text));

        f->BtClearLogClick();
        QTRY_VERIFY(f->logSave.isNull());
        QCOMPARE(f.errors().size(), 1);
        QVERIFY2(f.errors()[0].text.contains(QStringLiteral("cleared")), qPrintable(f.errors()[0].text));
        QCOMPARE(readFile(target), QByteArray("keep me\r\n"));
        QCOMPARE(QDir(f.dir()).entryList({QStringLiteral("*.txt")}, QDir::Files),
                 QStringList{QStringLiteral("old.txt")});

        // The next save writes the log as it is now.
        f->AppendLog(QStringLiteral("after"));
        f.fileAnswers << target;
        QVERIFY(saveLog(f));
        QCOMPARE(readFile(target), QByteArray("after\r\n"));
    }

    void pickToolName()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QString line = Stamp + QStringLiteral("<<< 00105 # \"Probe1\"");
        const QString command = f->EdCurrentCommand->text();
        pick(f, line, Qt::NoModifier);
        QCOMPARE(f->edToolC->text(), QStringLiteral("\"Probe1\""));
        QCOMPARE(f->EdToolF->text(), QString());

        f->edToolC->setText(QStringLiteral("Probe1"));
        pick(f, line, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        QCOMPARE(f->EdToolF->text(), QStringLiteral("\"Probe1\""));
        QCOMPARE(f->edToolC->text(), QStringLiteral("Probe1"));
        QCOMPARE(f->EdCurrentCommand->text(), command);

        // 27 characters, '#' at 25 and '"' at 27: too short to look at.
        const QString shortLine = Stamp + QStringLiteral("<<< 00105 # \"");
        QCOMPARE(shortLine.size(), 27);
        pick(f, shortLine, Qt::NoModifier);
        pick(f, shortLine, Qt::ControlModifier);
        QCOMPARE(f->edToolC->text(), QStringLiteral("Probe1"));
        QCOMPARE(f->EdCurrentCommand->text(), command);
        QVERIFY(f.messages.isEmpty());
    }

    void pickCommand()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QString line = Stamp + QStringLiteral(">>> 00100 GetProp(Tool.Name())");
        const QString before = f->EdCurrentCommand->text();
        pick(f, line, Qt::NoModifier);
        QCOMPARE(f->EdCurrentCommand->text(), before);
        pick(f, line, Qt::ControlModifier);
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("GetProp(Tool.Name())"));
        QVERIFY(!f->listAppended);

        // A '#' line gives the data from the blank after the '#'.
        pick(f, Stamp + QStringLiteral("<$< E0000 # ChangeTool(\"Probe1\")"), Qt::ControlModifier);
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral(" ChangeTool(\"Probe1\")"));
        // Other replies from the type character on.
        pick(f, Stamp + QStringLiteral("<<< 00100 ! Error(2, 0512, \"Home()\")"), Qt::ControlModifier);
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("! Error(2, 0512, \"Home()\")"));
    }

    void pickWithAndWithoutTimeStamps()
    {
        FormFixture f(iniWithFreeRelayPort());
        f->noTimeStamp = false;
        pick(f, f->TimeStampPrefix() + QStringLiteral(">>> 00100 GetProp(Tool.Name())"), Qt::ControlModifier);
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("GetProp(Tool.Name())"));

        // Without time stamps the positions stay where they are.
        f->noTimeStamp = true;
        f->EdCurrentCommand->setText(QStringLiteral("unchanged"));
        pick(f, f->TimeStampPrefix() + QStringLiteral(">>> 00100 Home()"), Qt::ControlModifier);
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("unchanged"));
        pick(f, f->TimeStampPrefix() + QStringLiteral(">>> 00100 GetProp(Tool.Name())"), Qt::ControlModifier);
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("ame())"));
    }

    void ctrlAltAddsToList()
    {
        FormFixture f(iniWithFreeRelayPort());
        const int rows = f->LbCommands->count();
        pick(f, Stamp + QStringLiteral(">>> 00100 GetProp(Tool.Name())"),
             Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("GetProp(Tool.Name())"));
        QCOMPARE(f->LbCommands->count(), rows + 1);
        QCOMPARE(f->LbCommands->item(rows)->text(), QStringLiteral("GetProp(Tool.Name())"));
        QVERIFY(f->listAppended);
    }

    void realDoubleClick()
    {
        FormFixture f(iniWithFreeRelayPort());
        f->AppendLog(Stamp + QStringLiteral("<<< 00105 # \"Probe9\""));
        f->AppendLog(Stamp + QStringLiteral("<<< 00105 # \"Other\""));
        TrafficLogView *log = f->MemoLog;
        log->flushPending();
        log->verticalScrollBar()->setValue(0);
        const int y = 3 + (1 - log->firstVisibleLine()) * log->lineHeight() + log->lineHeight() / 2;
        QTest::mouseDClick(log->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(40, y));
        QTRY_COMPARE(f->edToolC->text(), QStringLiteral("\"Probe9\""));
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
