// Command files in the real window: Load, Save with and without Shift,
// Restore, the recent-files list and which list the close sequence keeps.

#include "platform/testsupport.h"
#include "support/formfixture.h"
#include "support/helpers.h"
#include "support/testserver.h"

#include "log/logview.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTest>

namespace {

QStringList files(const TForm1 *f)
{
    return items(f->lbFiles);
}

// Loads `path` through the open dialog.
void loadByDialog(FormFixture &fx, const QString &path)
{
    fx->lbFiles->selectionModel()->clear();
    fx.fileAnswers = {path};
    fx->BtLoad->click();
}

void saveShift(FormFixture &fx, const QString &path)
{
    fx.fileAnswers = {path};
    fx.modifiers = Qt::ShiftModifier;
    fx->BtSave->click();
    fx.modifiers = Qt::NoModifier;
}

} // namespace

class TestCommandFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A traffic log of this program loads back as the commands that were sent.
    void savedLogLoadsAsSentCommands_data()
    {
        QTest::addColumn<bool>("noTimeStamp");
        QTest::newRow("with time stamps") << false;
        QTest::newRow("without time stamps") << true;
    }
    void savedLogLoadsAsSentCommands()
    {
        QFETCH(bool, noTimeStamp);
        TestServer server;
        server.autoAcknowledge = true;
        FormFixture fx;
        TForm1 *f = fx.form();
        f->noTimeStamp = noTimeStamp;
        f->EdHost->setText(QStringLiteral("127.0.0.1"));
        f->EdPort->setText(QString::number(server.port()));
        f->BtConnectClick();
        QTRY_VERIFY(f->serverConnected);
        QVERIFY(server.waitForClient());
        const QStringList sent = {
            "StartSession()",       "GetProp(Tool.Name())", "AbortE()", "GoTo(X(1), Y(2)) ;comment",
            "GetProp(Session.X())", "EndSession()"};
        for (const QString &cmd : sent) {
            f->EdCurrentCommand->setText(cmd);
            f->BtSendClick();
            const int expected = server.received.size() + 1;
            QVERIFY(server.waitForLines(expected));
            QTRY_VERIFY(f->clearToSend);
        }
        f->BtConnectClick(); // disconnect line in the log
        QTRY_VERIFY(!f->serverConnected);

        const QString log = fx.dir() + QStringLiteral("/session.log");
        writeFile(log, logBytes(f->MemoLog));
        QVERIFY(readFile(log).contains("<<< 00101 &"));
        loadByDialog(fx, log);
        QCOMPARE(rows(f), QStringList({"GetProp(Tool.Name())", "AbortE()", "GoTo(X(1), Y(2))"}));
        QCOMPARE(files(f), QStringList({log}));
    }

    void loadRulesAndDialog()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        const QString dir = fx.dir();
        writeFile(dir + "/mixed.txt",
                  "Home()\n  GoTo(X(1))\r\n\r\n   ; comment\n'old\nStartSession()\n"
                  "Get(X()) -- note\nLast() ;keep");
        f->listAppended = true;
        loadByDialog(fx, dir + "/mixed.txt");
        QCOMPARE(fx.dialogs.size(), 1);
        QCOMPARE(fx.dialogs[0].kind, QStringLiteral("open"));
        QCOMPARE(fx.dialogs[0].title, QStringLiteral("Commands file to open"));
        QCOMPARE(fx.dialogs[0].filter, QStringLiteral("Text files|*.txt;*.log|*.*|*.*"));
        QCOMPARE(rows(f), QStringList({"Home()", "GoTo(X(1))", "Last() ;keep"}));
        QCOMPARE(f->CommandIndex(), -1);
        QVERIFY(f->listLoadedFromFile);
        QVERIFY(f->listAppended); // Load leaves it alone

        // cmds.dat opens as cmds.dat.txt; while that is missing nothing changes.
        writeFile(dir + "/cmds.dat", "Wrong()\n");
        loadByDialog(fx, dir + "/cmds.dat");
        QCOMPARE(rows(f), QStringList({"Home()", "GoTo(X(1))", "Last() ;keep"}));
        QCOMPARE(files(f), QStringList({dir + "/mixed.txt"}));
        writeFile(dir + "/cmds.dat.txt", "Right()\n");
        loadByDialog(fx, dir + "/cmds.dat");
        QCOMPARE(rows(f), QStringList({"Right()"}));
        QCOMPARE(files(f).last(), dir + "/cmds.dat.txt");

        // ".Log" in any case: no extension added.
        writeFile(dir + "/run.Log", "FromLog()\n");
        loadByDialog(fx, dir + "/run.Log");
        QCOMPARE(rows(f), QStringList({"FromLog()"}));

        // A cancelled dialog changes nothing.
        f->listLoadedFromFile = false;
        loadByDialog(fx, QString());
        QCOMPARE(rows(f), QStringList({"FromLog()"}));
        QVERIFY(!f->listLoadedFromFile);
        QCOMPARE(files(f).size(), 3);
    }

    void recentFiles()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        const QString dir = fx.dir();
        writeFile(dir + "/List.txt", "One()\n");
        writeFile(dir + "/other.txt", "Three()\n");
        loadByDialog(fx, dir + "/List.txt");
        loadByDialog(fx, dir + "/List.txt");
        loadByDialog(fx, dir + "/other.txt");
        // Same name but for case: not added, not moved. (Where names ignore
        // case, as on Windows, it is the same file.)
        writeFile(dir + "/LIST.txt", "Two()\n");
        loadByDialog(fx, dir + "/LIST.txt");
        QCOMPARE(rows(f), QStringList({"Two()"}));
        QCOMPARE(files(f), QStringList({dir + "/List.txt", dir + "/other.txt"}));
        writeFile(dir + "/List.txt", "One()\n");

        // A current entry loads without a dialog and stays current.
        const int dialogs = fx.dialogs.size();
        f->lbFiles->setCurrentRow(0);
        f->BtLoad->click();
        QCOMPARE(rows(f), QStringList({"One()"}));
        QCOMPARE(f->FileIndex(), 0);
        writeFile(dir + "/List.txt", "One()\nOneMore()\n");
        f->BtLoad->click();
        QCOMPARE(rows(f), QStringList({"One()", "OneMore()"}));
        QCOMPARE(fx.dialogs.size(), dialogs);

        // Double-click on an entry loads it.
        const QRect r = f->lbFiles->visualItemRect(f->lbFiles->item(1));
        QTest::mouseClick(f->lbFiles->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        QTest::mouseDClick(f->lbFiles->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        QTest::mouseRelease(f->lbFiles->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        QTRY_COMPARE(rows(f), QStringList({"Three()"}));
        QCOMPARE(f->FileIndex(), 1);

        // An entry whose file has gone: nothing changes, the entry stays.
        QVERIFY(QFile::remove(dir + "/other.txt"));
        f->listLoadedFromFile = false;
        f->BtLoad->click();
        QCOMPARE(rows(f), QStringList({"Three()"}));
        QVERIFY(!f->listLoadedFromFile);
        QCOMPARE(files(f).size(), 2);
    }

    // Rows written with Shift+Save come back unchanged, every byte value included.
    void roundTripAllBytes()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        QByteArray allBytes = "X";
        for (int b = 0; b < 256; ++b)
            if (b != '\n' && b != '\r') // the line ends: they end a row
                allBytes += char(b);
        allBytes += "Y";
        const QStringList written = {QString::fromLatin1(allBytes), "Home() ;back", "GetProp(Tool.Name())",
                                     QString::fromLatin1("T\xe9st(\xff\x80)")};
        f->LbCommands->clear();
        f->LbCommands->addItems(written);
        saveShift(fx, fx.dir() + "/all"); // ".txt" appended
        QCOMPARE(fx.dialogs.last().title, QStringLiteral("Write Command List to file"));
        QCOMPARE(fx.dialogs.last().filter, QStringLiteral("Text files|*.txt"));
        QByteArray expected;
        for (const QString &row : written)
            expected += row.toLatin1() + "\r\n";
        QCOMPARE(readFile(fx.dir() + "/all.txt"), expected);
        QVERIFY(!f->listLoadedFromFile);
        QVERIFY(f->lbFiles->count() == 0);

        f->LbCommands->clear();
        loadByDialog(fx, fx.dir() + "/all.txt");
        QCOMPARE(rows(f), written);

        // A file with LF line ends comes back written with CR LF.
        writeFile(fx.dir() + "/lf.txt", "A()\nB(\xfe)\n");
        loadByDialog(fx, fx.dir() + "/lf.txt");
        saveShift(fx, fx.dir() + "/lf.txt");
        QCOMPARE(readFile(fx.dir() + "/lf.txt"), QByteArray("A()\r\nB(\xfe)\r\n"));

        // ".log" names get ".txt" on saving; a cancelled dialog writes nothing.
        saveShift(fx, fx.dir() + "/x.log");
        QVERIFY(QFile::exists(fx.dir() + "/x.log.txt"));
        const int count = QDir(fx.dir()).entryList(QDir::Files).size();
        saveShift(fx, QString());
        QCOMPARE(QDir(fx.dir()).entryList(QDir::Files).size(), count);
        QVERIFY(fx.errors().isEmpty());
    }

    // A write that fails is reported and leaves the old file as it was.
    void failedWriteIsReported()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        writeFile(fx.dir() + "/plain", "a file, not a folder");
        const QString bad = fx.dir() + "/plain/list.txt";
        saveShift(fx, bad);
        QCOMPARE(fx.errors().size(), 1);
        QVERIFY(
            fx.errors()[0].text.startsWith(QStringLiteral("Cannot write the command list to %1: ").arg(bad)));
        QVERIFY(fx.errors()[0].text.size() > bad.size() + 40);

        // A full disk, made by a file-size limit: the old contents stay and no
        // temporary file is left behind.
        const QString keep = fx.dir() + "/keep.txt";
        writeFile(keep, "Old()\r\n");
        const QStringList before = QDir(fx.dir()).entryList(QDir::Files | QDir::Hidden);
        f->LbCommands->clear();
        for (int i = 0; i < 2000; ++i)
            f->LbCommands->addItem(QStringLiteral("GoTo(X(%1), Y(%1), Z(%1))").arg(i));
        {
            platform::test::FileSizeLimit limit(4096);
            if (!limit.applied)
                QSKIP("this system has no file-size limit for one process");
            saveShift(fx, keep);
        }
        QCOMPARE(fx.errors().size(), 2);
        QVERIFY(fx.errors()[1].text.contains(keep));
        // the system's reason ("File too large"), not an empty or unknown one
        const QString reason = fx.errors()[1].text.mid(fx.errors()[1].text.indexOf(keep) + keep.size());
        QVERIFY2(reason.size() > 4 && !reason.contains(QStringLiteral("Unknown")), qPrintable(reason));
        QCOMPARE(readFile(keep), QByteArray("Old()\r\n"));
        QCOMPARE(QDir(fx.dir()).entryList(QDir::Files | QDir::Hidden), before);

        // Writing works again afterwards.
        saveShift(fx, keep);
        QCOMPARE(fx.errors().size(), 2);
        QVERIFY(readFile(keep).startsWith("GoTo(X(0), Y(0), Z(0))\r\n"));
    }

    void saveWithoutShift()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        // Not after start-up: no dialog.
        f->BtSave->click();
        QVERIFY(fx.dialogs.isEmpty());

        writeFile(fx.dir() + "/a.txt", "A()\nB()\n");
        loadByDialog(fx, fx.dir() + "/a.txt");
        fx.dialogs.clear();
        fx.confirmAnswer = false;
        f->BtSave->click();
        QCOMPARE(fx.dialogs.size(), 1);
        QCOMPARE(fx.dialogs[0].kind, QStringLiteral("confirm"));
        QCOMPARE(fx.dialogs[0].title, QStringLiteral("Confirm"));
        QCOMPARE(fx.dialogs[0].filter,
                 QStringLiteral("Really want to replace previous command list by current one ?"));
        QVERIFY(f->defaultCommands.isEmpty());
        QVERIFY(f->listLoadedFromFile);

        fx.confirmAnswer = true;
        f->listAppended = true;
        f->BtSave->click();
        QCOMPARE(f->defaultCommands, QStringList({"A()", "B()"}));
        QVERIFY(!f->listLoadedFromFile);
        QVERIFY(f->listAppended);
        f->BtSave->click(); // again: nothing to confirm
        QCOMPARE(fx.dialogs.size(), 2);

        // Restore brings the saved list back and clears both flags.
        f->LbCommands->clear();
        f->BtRestore->click();
        QCOMPARE(rows(f), QStringList({"A()", "B()"}));
        QVERIFY(!f->listAppended);
        f->defaultCommands.clear();
        f->BtRestore->click();
        QCOMPARE(f->LbCommands->count(), 0);
    }

    // What the close sequence leaves in the list decides what the settings
    // file receives.
    void listKeptAtClose_data()
    {
        QTest::addColumn<bool>("addToMemo");
        QTest::addColumn<bool>("confirmSave");
        QTest::addColumn<bool>("restoreAfter");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("load only: saved list") << false << false << false << QStringList({"Saved()"});
        QTest::newRow("load and add: current list")
            << true << false << false << QStringList({"A()", "B()", "Added()"});
        QTest::newRow("load and confirmed save") << false << true << false << QStringList({"A()", "B()"});
        QTest::newRow("add then restore: saved list") << true << false << true << QStringList({"Saved()"});
        QTest::newRow("save, add, edit: current list")
            << true << true << false << QStringList({"B()", "Added()"});
    }
    void listKeptAtClose()
    {
        QFETCH(bool, addToMemo);
        QFETCH(bool, confirmSave);
        QFETCH(bool, restoreAfter);
        QFETCH(QStringList, kept);
        FormFixture fx;
        TForm1 *f = fx.form();
        f->defaultCommands = {"Saved()"}; // as if read from the settings file
        writeFile(fx.dir() + "/a.txt", "A()\nB()\n");
        loadByDialog(fx, fx.dir() + "/a.txt");
        if (confirmSave)
            f->BtSave->click();
        if (addToMemo) {
            f->EdCurrentCommand->setText(QStringLiteral("Added()"));
            f->BtAddToMemo->click();
        }
        if (confirmSave && addToMemo) {
            f->LbCommands->setCurrentRow(0);
            f->BtDel->click();
        }
        if (restoreAfter)
            f->BtRestore->click();
        fx.close();
        QCOMPARE(rows(f), kept);
    }

    // (How long loading keeps the window busy is measured by
    // bench/files_bench.)
    void largeFileLoadsAndSaves()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        QByteArray bytes;
        for (int i = 0; i < 100000; ++i)
            bytes += "12.34.56:789  >>> " + QByteArray::number(10000 + i) + " GoTo(X(" + QByteArray::number(i)
                + "), Y(2), Z(3))\r\n12.34.56:789  <<< " + QByteArray::number(10000 + i) + " &\r\n";
        writeFile(fx.dir() + "/big.log", bytes);
        loadByDialog(fx, fx.dir() + "/big.log");
        QCOMPARE(f->LbCommands->count(), 100000);
        QCOMPARE(f->LbCommands->item(99999)->text(), QStringLiteral("GoTo(X(99999), Y(2), Z(3))"));

        saveShift(fx, fx.dir() + "/big.txt");
        QCOMPARE(readFile(fx.dir() + "/big.txt").count('\n'), 100000);
    }
};

QTEST_MAIN(TestCommandFiles)
#include "tst_commandfiles.moc"
