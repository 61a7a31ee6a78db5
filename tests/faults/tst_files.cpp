// Files that fight back: saves into a folder that cannot be written (the
// settings, a command list, the log), and settings files damaged in ways the
// settings tests don't cover. Every failure is reported, no old file is
// touched, and the window goes on.

#include "faultsupport.h"
#include "support/formfixture.h"
#include "support/helpers.h"

#include "log/logview.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

using namespace faults;

namespace {

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void settingsIntoUnwritableFolder()
    {
        const QByteArray old = iniWithFreeRelayPort("[TCP/IP]\r\nHost=old.host\r\n");
        FormFixture f(old);
        f->EdHost->setText(QStringLiteral("new.host"));
        const QStringList before = entries(f.dir());
        {
            UnwritableFolder ro(f.dir());
            if (!ro.holds())
                QSKIP("this system lets the tests write into any folder");
            f.close();
        }
        const QList<ShownMessage> shown = f.errors();
        QCOMPARE(shown.size(), 1);
        const QString path = f.dir() + QStringLiteral("/Torvane.ini");
        QVERIFY2(
            shown[0].text.startsWith(QStringLiteral("The settings could not be saved to %1: ").arg(path)),
            qPrintable(shown[0].text));
        QVERIFY2(shown[0].text.size() > path.size() + 45, qPrintable(shown[0].text)); // with a reason
        QCOMPARE(readFile(path), old);
        QCOMPARE(entries(f.dir()), before);
    }

    void commandListIntoUnwritableFolder()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QString folder = f.dir() + QStringLiteral("/lists");
        QVERIFY(QDir(f.dir()).mkdir(QStringLiteral("lists")));
        const QString old = folder + QStringLiteral("/old.txt");
        writeFile(old, "Old()\r\n");
        f->LbCommands->clear();
        f->LbCommands->addItems({QStringLiteral("New(1)"), QStringLiteral("New(2)")});
        f.modifiers = Qt::ShiftModifier;
        {
            UnwritableFolder ro(folder);
            if (!ro.holds())
                QSKIP("this system lets the tests write into any folder");
            f.fileAnswers << old << folder + QStringLiteral("/fresh.txt");
            f->BtSave->click();
            f->BtSave->click();
        }
        f.modifiers = Qt::NoModifier;
        const QList<ShownMessage> shown = f.errors();
        QCOMPARE(shown.size(), 2);
        QVERIFY2(shown[0].text.startsWith(QStringLiteral("Cannot write the command list to %1: ").arg(old)),
                 qPrintable(shown[0].text));
        QVERIFY(shown[1].text.contains(folder + QStringLiteral("/fresh.txt")));
        QCOMPARE(readFile(old), QByteArray("Old()\r\n"));
        QCOMPARE(entries(folder), QStringList{QStringLiteral("old.txt")});
        QCOMPARE(rows(f.form()), (QStringList{QStringLiteral("New(1)"), QStringLiteral("New(2)")}));
        QCOMPARE(f->lbFiles->findItems(QStringLiteral("fresh"), Qt::MatchContains).size(), 0);
    }

    void logExportIntoUnwritableFolder()
    {
        FormFixture f(iniWithFreeRelayPort());
        const QString folder = f.dir() + QStringLiteral("/logs");
        QVERIFY(QDir(f.dir()).mkdir(QStringLiteral("logs")));
        const QString old = folder + QStringLiteral("/old.txt");
        writeFile(old, "keep me\r\n");
        const int lines = f->MemoLog->lineCount() + 20;
        for (int i = 0; i < 20; ++i)
            f->AppendLog(QStringLiteral("<<< 00001 # line %1").arg(i));
        {
            UnwritableFolder ro(folder);
            if (!ro.holds())
                QSKIP("this system lets the tests write into any folder");
            f.fileAnswers << old << folder + QStringLiteral("/fresh.txt");
            f->BtSaveLog->click();
            f->BtSaveLog->click();
        }
        const QList<ShownMessage> shown = f.errors();
        QCOMPARE(shown.size(), 2);
        QVERIFY2(shown[0].text.startsWith(QStringLiteral("The log could not be written to %1: ").arg(old)),
                 qPrintable(shown[0].text));
        QVERIFY(shown[1].text.contains(folder + QStringLiteral("/fresh.txt")));
        QCOMPARE(readFile(old), QByteArray("keep me\r\n"));
        QCOMPARE(entries(folder), QStringList{QStringLiteral("old.txt")});
        // The log is still there to be saved elsewhere.
        QCOMPARE(f->MemoLog->lineCount(), lines);
        f.fileAnswers << f.dir() + QStringLiteral("/elsewhere.txt");
        f->BtSaveLog->click();
        QTRY_VERIFY(f->logSave.isNull());
        QCOMPARE(f.errors().size(), 2);
        QCOMPARE(readFile(f.dir() + QStringLiteral("/elsewhere.txt")), logBytes(f->MemoLog));
    }

    // Damaged settings files: the window starts with what can be read, and
    // what it writes at close reads back. (The start-up time with such files
    // is measured by bench/files_bench.)
    void damagedSettingsFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("host"); // empty: whatever can be made of it
        QTest::addColumn<QStringList>("commands");

        QTest::newRow("cut off in a line")
            << QByteArray("[TCP/IP]\r\nHost=cut.host\r\n[Commands]\r\nCount=3\r\n0=A()\r\n1=B(")
            << QStringLiteral("cut.host") << QStringList{QStringLiteral("A()"), QStringLiteral("B(")};
        QTest::newRow("CR line ends only")
            << QByteArray("[TCP/IP]\rHost=cr.host\r[Commands]\rCount=1\r0=A()\r") << QString()
            << QStringList();
        QTest::newRow("NUL bytes")
            << QByteArray("[TCP/IP]\r\nHo@st=nul.host\r\n[Com@mands]\r\nCount=1\r\n0=A()\r\n@@@\r\n")
                   .replace('@', '\0')
            << QString() << QStringList();
        QTest::newRow("Latin-1 text, no UTF-8")
            << QByteArray("[TCP/IP]\r\nHost=h\xf4te\xff\r\n[Commands]\r\nCount=1\r\n0=M\xe9sure()\r\n")
            << QStringLiteral("h\xf4te\xff") << QStringList{QStringLiteral("M\xe9sure()")};

        // Eight megabytes of noise, line ends and brackets among it.
        QByteArray noise;
        noise.reserve(8 << 20);
        quint32 x = 12345;
        while (noise.size() < (8 << 20)) {
            x = x * 1103515245u + 12345u;
            const char c = char(x >> 24);
            noise += c;
            if ((x & 0x3ff) == 0)
                noise += "\n[";
        }
        QTest::newRow("8 MB of noise") << noise << QString() << QStringList();
    }
    void damagedSettingsFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, host);
        QFETCH(QStringList, commands);
        const QByteArray ini = iniWithFreeRelayPort() + content;
        FormFixture f(ini);
        if (!host.isEmpty())
            QCOMPARE(f->EdHost->text(), host);
        if (!commands.isEmpty())
            QCOMPARE(rows(f.form()), commands);
        QVERIFY(f.messages.isEmpty());

        f->EdHost->setText(QStringLiteral("after.damage"));
        f->EdCurrentCommand->setText(QStringLiteral("Written(\xb0)"));
        f.close();
        QVERIFY(f.messages.isEmpty());
        f.restart();
        QCOMPARE(f->EdHost->text(), QStringLiteral("after.damage"));
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("Written(\xb0)"));
        QVERIFY(f.messages.isEmpty());
    }
};

QTEST_MAIN(TestFiles)
#include "tst_files.moc"
