#include "app/profile.h"
#include "platform/testsupport.h"
#include "support/formfixture.h"
#include "support/helpers.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QScreen>
#include <QTcpServer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace {

const QStringList DesignCommands = {QStringLiteral("GetProp(Tool.AvrRadius())"),
                                    QStringLiteral("GetProp(Tool.Name())"),
                                    QStringLiteral("Get(Tool.A(),Tool.B())"), QStringLiteral("Home()"),
                                    QStringLiteral("GetProp(Tool.GoToPar.Speed())")};

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void roundTrip()
    {
        FormFixture f(iniWithFreeRelayPort("; operator notes\r\n[Mine]\r\nkeep=this\r\n"));
        TForm1 *w = f.form();
        const quint16 newRelay = FreePort();
        w->EdHost->setText(QStringLiteral("192.168.1.20"));
        w->EdPort->setText(QStringLiteral("4711"));
        w->EdCurrentCommand->setText(QStringLiteral("  GoTo(X(1)) ; comment"));
        w->edToolC->setText(QStringLiteral("\"Probe 7\""));
        w->EdToolF->setText(QStringLiteral("Star\xe4"));
        w->EdExclude->setText(QStringLiteral("E0908 #"));
        w->CbExclude->setChecked(true);
        w->advancedMode = true;
        w->noTimeout = false;
        w->noTimeStamp = true;
        w->lbFiles->clear();
        w->lbFiles->addItems({QStringLiteral("/data/a.txt"), QStringLiteral("/data/b.log")});
        // The saved list goes into the file, not the edited list.
        w->defaultCommands = {QStringLiteral("Home()"), QStringLiteral("EnumTools()"),
                              QStringLiteral("AbortE()")};
        w->LbCommands->clear();
        w->LbCommands->addItem(QStringLiteral("edited, not appended"));
        w->listAppended = false;
        w->listenPort = newRelay;
        w->move(100, 120);
        w->resize(1200, 800);
        f.close();
        QVERIFY(f.errors().isEmpty());

        f.restart();
        w = f.form();
        QCOMPARE(w->EdHost->text(), QStringLiteral("192.168.1.20"));
        QCOMPARE(w->EdPort->text(), QStringLiteral("4711"));
        QCOMPARE(w->EdCurrentCommand->text(), QStringLiteral("  GoTo(X(1)) ; comment"));
        QCOMPARE(w->edToolC->text(), QStringLiteral("\"Probe 7\""));
        QCOMPARE(w->EdToolF->text(), QStringLiteral("Star\xe4"));
        QCOMPARE(w->EdExclude->text(), QStringLiteral("E0908 #"));
        QVERIFY(w->CbExclude->isChecked());
        QVERIFY(w->advancedMode);
        QVERIFY(!w->noTimeout);
        QVERIFY(w->noTimeStamp);
        QCOMPARE(items(w->lbFiles),
                 (QStringList{QStringLiteral("/data/a.txt"), QStringLiteral("/data/b.log")}));
        const QStringList saved = {QStringLiteral("Home()"), QStringLiteral("EnumTools()"),
                                   QStringLiteral("AbortE()")};
        QCOMPARE(w->defaultCommands, saved);
        QCOMPARE(items(w->LbCommands), saved);
        QCOMPARE(w->listenPort, newRelay);
        QCOMPARE(w->edListenPort->text(), QString::number(newRelay));
        QCOMPARE(w->x(), 100);
        QCOMPARE(w->y(), 120);
        QCOMPARE(w->width(), 1200);
        QCOMPARE(w->height(), 800);
        // The operator's own lines are still there.
        const QByteArray file = readFile(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY(file.contains("; operator notes\r\n[Mine]\r\nkeep=this\r\n"));

        // With a command appended, the list as it is goes into the file;
        // switches back off are stored as off.
        w->LbCommands->clear();
        w->LbCommands->addItems({QStringLiteral("One()"), QStringLiteral("Two()")});
        w->listAppended = true;
        w->advancedMode = false;
        w->noTimeout = true;
        w->noTimeStamp = false;
        w->CbExclude->setChecked(false);
        w->lbFiles->clear();
        f.close();
        f.restart();
        w = f.form();
        const QStringList appended = {QStringLiteral("One()"), QStringLiteral("Two()")};
        QCOMPARE(items(w->LbCommands), appended);
        QCOMPARE(w->defaultCommands, appended);
        QVERIFY(!w->advancedMode && w->noTimeout && !w->noTimeStamp && !w->CbExclude->isChecked());
        // An empty recent-files list is stored as Count 0: the design list (empty) stays.
        QCOMPARE(w->lbFiles->count(), 0);
        QVERIFY(f.errors().isEmpty());
    }

    void longCommandList()
    {
        FormFixture f(iniWithFreeRelayPort());
        QStringList rows;
        for (int i = 0; i < 20000; ++i)
            rows << QStringLiteral("GoTo(X(%1))").arg(i);
        f->LbCommands->clear();
        f->LbCommands->addItems(rows);
        f->listAppended = true;
        f.close();
        f.restart();
        QCOMPARE(items(f->LbCommands), rows);
    }

    void noSettingsFile()
    {
        // Started on a file that names only a free relay port (the default
        // one may be taken), then the settings are read again with no file.
        FormFixture f;
        TForm1 *w = f.form();
        QVERIFY(QFile::remove(f.dir() + QStringLiteral("/Torvane.ini")));
        w->RunHandler([w] { w->LoadSettings(); });
        QCOMPARE(w->EdHost->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(w->EdPort->text(), QStringLiteral("1294"));
        QCOMPARE(w->EdCurrentCommand->text(), QStringLiteral("EnableUser()"));
        QCOMPARE(w->edToolC->text(), QStringLiteral("Probe1"));
        QCOMPARE(w->EdToolF->text(), QString());
        QCOMPARE(w->EdExclude->text(), QString());
        QVERIFY(!w->CbExclude->isChecked());
        QVERIFY(!w->advancedMode && w->noTimeout && !w->noTimeStamp);
        QCOMPARE(items(w->LbCommands), DesignCommands);
        QVERIFY(w->defaultCommands.isEmpty());
        QCOMPARE(w->listenPort, quint16(1295));
        QCOMPARE(w->edListenPort->text(), QStringLiteral("1295"));
        QCOMPARE(QRect(w->x(), w->y(), w->width(), w->height()), QRect(445, 242, 1120, 716));

        // Closing writes every key; the empty saved list restores an empty
        // command list before that (nothing was appended).
        f.close();
        ProfileFile ini(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY(ini.load());
        QCOMPARE(ini.readString(QStringLiteral("TCP/IP"), QStringLiteral("Host"), QString()),
                 QStringLiteral("127.0.0.1"));
        QCOMPARE(ini.readInteger(QStringLiteral("Commands"), QStringLiteral("Count"), -1), 0);
        QCOMPARE(ini.readInteger(QStringLiteral("RelayServer"), QStringLiteral("Port"), -1), 1295);
        QCOMPARE(ini.readInteger(QStringLiteral("Misc"), QStringLiteral("NoTimout"), -1), 1);
        QCOMPARE(ini.readInteger(QStringLiteral("Window"), QStringLiteral("Left"), -1), 445);
        QCOMPARE(ini.readInteger(QStringLiteral("Exclude"), QStringLiteral("Enabled"), -1), 0);
    }

    void storedValues()
    {
        FormFixture f(iniWithFreeRelayPort(
            "[misc]\r\nAdvanced=2\r\nNoTimout=2\r\nNoTimeStamp=1\r\n"
            "[Commands]\r\nCount=3\r\n0=Home()\r\n1=\r\n2=EnumTools()\r\n3=beyond count\r\n"
            "[Files]\r\nCount=$2\r\n1=second.txt\r\n0=first.txt\r\n"
            "[Window]\r\nTop=$64\r\nLeft=0x50\r\nWidth=wide\r\n"
            "[Exclude]\r\nString=E9003 #\r\nEnabled=1\r\n"));
        TForm1 *w = f.form();
        QVERIFY(!w->advancedMode);
        QVERIFY(!w->noTimeout);
        QVERIFY(w->noTimeStamp);
        const QStringList two = {QStringLiteral("Home()"), QStringLiteral("EnumTools()")};
        QCOMPARE(w->defaultCommands, two);
        QCOMPARE(items(w->LbCommands), two);
        QVERIFY(!w->listAppended && !w->listLoadedFromFile);
        QCOMPARE(items(w->lbFiles), (QStringList{QStringLiteral("first.txt"), QStringLiteral("second.txt")}));
        QCOMPARE(w->y(), 100);
        QCOMPARE(w->x(), 80);
        QCOMPARE(w->width(), 1120);
        QCOMPARE(w->EdExclude->text(), QStringLiteral("E9003 #"));
        QVERIFY(w->CbExclude->isChecked());
    }

    void relayPortKeptApart()
    {
        const quint16 port = FreePort();
        const QByteArray p = QByteArray::number(port);
        FormFixture f("[TCP/IP]\r\nPort=" + p + "\r\n[RelayServer]\r\nPort=" + p + "\r\n");
        QCOMPARE(int(f->listenPort), port + 1);
        QCOMPARE(f->edListenPort->text(), QString::number(port + 1));
        f.close();
        ProfileFile ini(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY(ini.load());
        QCOMPARE(ini.readInteger(QStringLiteral("RelayServer"), QStringLiteral("Port"), 0), port + 1);

        // The same number written in hexadecimal is the same port.
        FormFixture h("[TCP/IP]\r\nPort=$" + QByteArray::number(port, 16) + "\r\n[RelayServer]\r\nPort=" + p
                      + "\r\n");
        QCOMPARE(int(h->listenPort), port + 1);
        // A port that no socket can have gives the default.
        // (Read again after start-up, so that no listener takes the default.)
        FormFixture z;
        writeFile(z.dir() + QStringLiteral("/Torvane.ini"), "[RelayServer]\r\nPort=70000\r\n");
        z->RunHandler([&z] { z->LoadSettings(); });
        QCOMPARE(z->listenPort, quint16(1295));
    }

    void damagedFileStartsWithDefaults()
    {
        QByteArray junk;
        for (int i = 0; i < 3000; ++i)
            junk += char((i * 131 + 7) & 0xff);
        FormFixture f(iniWithFreeRelayPort("[TCP/IP\r\nHost=h1\r\nHost=h2\r\n[Junk]\r\n" + junk
                                           + "\r\n[Commands]\r\nCount=2147483647\r\n0=A()\r\n7=B()\r\n"
                                             "[Window]\r\nWidth=99999999\r\nHeight=-5\r\nTop=2147483647\r\n"
                                             "[Tool]\r\nC="
                                           + QByteArray(100000, 'p') + "\r\n"));
        TForm1 *w = f.form();
        QCOMPARE(w->EdHost->text(), QStringLiteral("h1"));
        QCOMPARE(items(w->LbCommands), (QStringList{QStringLiteral("A()"), QStringLiteral("B()")}));
        QCOMPARE(w->edToolC->text().size(), 2047);
        QVERIFY(w->width() <= 8192);
        QCOMPARE(w->height(), 716);
        QVERIFY(w->y() <= 16384);
        f.close();
        QVERIFY(readFile(f.dir() + QStringLiteral("/Torvane.ini")).contains(junk));
    }

    // A file written by a Windows editor in its code page (Windows-1252):
    // its bytes above 0x7F are characters of their own, read as Latin-1,
    // shown as such and written back byte for byte, the operator's own
    // lines included; a recent file's name with accents and a space stays
    // the name it was.
    void windows1252File()
    {
        const QByteArray notes = "; Kommentar \x80 \x93Messung\x94 \x85\r\n[Mine]\r\nkeep=\x9c\xe9\xff\r\n";
        const QByteArray lists = "[Commands]\r\nCount=1\r\n0=SetProp(Tool.Name(\"T\xe4st \x80\"))\r\n"
                                 "[Files]\r\nCount=1\r\n0=C:\\Messungen\\Pr\xfc"
                                 "fung 1.txt\r\n";
        FormFixture f(iniWithFreeRelayPort(notes + lists + "[TCP/IP]\r\nHost=h\xf6st\r\n"));
        QCOMPARE(items(f->LbCommands),
                 QStringList{QString::fromLatin1("SetProp(Tool.Name(\"T\xe4st \x80\"))")});
        QCOMPARE(items(f->lbFiles),
                 QStringList{QString::fromLatin1("C:\\Messungen\\Pr\xfc"
                                                 "fung 1.txt")});
        QCOMPARE(f->EdHost->text(), QString::fromLatin1("h\xf6st"));
        f.close();
        QVERIFY(f.errors().isEmpty());
        const QByteArray after = readFile(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY2(after.contains(notes), after.constData());
        QVERIFY2(after.contains(lists), after.constData());
        QVERIFY2(after.contains("Host=h\xf6st\r\n"), after.constData());
    }

    // A list section whose Count can't be read is no list at start-up, and
    // the close writes it back as it was.
    void damagedCountKept_data()
    {
        QTest::addColumn<QByteArray>("count");
        QTest::newRow("2^31") << QByteArray("2147483648");
        QTest::newRow("-1") << QByteArray("-1");
        QTest::newRow("10^20 written out") << QByteArray("100000000000000000000");
        QTest::newRow("10^20") << QByteArray("10^20");
        QTest::newRow("garbage") << QByteArray("l0ts");
        QTest::newRow("empty") << QByteArray("");
    }
    void damagedCountKept()
    {
        QFETCH(QByteArray, count);
        const QByteArray commands = "[Commands]\r\nCount=" + count + "\r\n0=Keep()\r\n1=These()\r\n";
        const QByteArray files = "[Files]\r\nCount=" + count + "\r\n0=keep.txt\r\n";
        FormFixture f(iniWithFreeRelayPort(commands + files));
        QCOMPARE(items(f->LbCommands), DesignCommands);
        QCOMPARE(f->lbFiles->count(), 0);
        f.close();
        const QByteArray after = readFile(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY2(after.contains(commands), after.constData());
        QVERIFY2(after.contains(files), after.constData());
        QVERIFY(f.messages.isEmpty());

        // A section without any Count is no less damaged.
        FormFixture g(iniWithFreeRelayPort("[Commands]\r\n0=Keep()\r\n"));
        g.close();
        QVERIFY(readFile(g.dir() + QStringLiteral("/Torvane.ini")).contains("[Commands]\r\n0=Keep()\r\n"));
    }

    // ... unless the operator changed that list.
    void damagedCountReplacedByTheOperator()
    {
        const QByteArray damaged = "[Commands]\r\nCount=-1\r\n0=Old()\r\n[Files]\r\nCount=x\r\n0=old.txt\r\n";
        {
            // Add To Memo: the list at close is stored; a loaded file joins the recent files.
            FormFixture f(iniWithFreeRelayPort(damaged));
            QFile cmd(f.dir() + QStringLiteral("/new.txt"));
            QVERIFY(cmd.open(QIODevice::WriteOnly));
            cmd.write("New()\r\n");
            cmd.close();
            f.fileAnswers << cmd.fileName();
            f->BtLoadClick();
            f->EdCurrentCommand->setText(QStringLiteral("Added()"));
            f->BtAddToMemoClick();
            f.close();
            f.restart();
            QCOMPARE(items(f->LbCommands), (QStringList{"New()", "Added()"}));
            QCOMPARE(items(f->lbFiles), QStringList{cmd.fileName()});
        }
        {
            // A confirmed Save replaces the saved list.
            FormFixture f(iniWithFreeRelayPort(damaged));
            QFile cmd(f.dir() + QStringLiteral("/saved.txt"));
            QVERIFY(cmd.open(QIODevice::WriteOnly));
            cmd.write("Saved()\r\n");
            cmd.close();
            f.fileAnswers << cmd.fileName();
            f->BtLoadClick();
            f->lbFiles->clear(); // the recent files as they were: still kept
            f->BtSaveClick();
            f.close();
            const QByteArray after = readFile(f.dir() + QStringLiteral("/Torvane.ini"));
            QVERIFY2(after.contains("[Commands]\r\nCount=1\r\n0=Saved()\r\n"), after.constData());
            QVERIFY2(after.contains("[Files]\r\nCount=x\r\n0=old.txt\r\n"), after.constData());
        }
    }

    // A stored position that would put the window off every screen is moved
    // onto the primary one; one that leaves enough of it on a screen stays.
    void windowKeptOnScreen_data()
    {
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("top");
        QTest::addColumn<bool>("stays");
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QTest::newRow("far right and below") << area.right() + 5000 << area.bottom() + 5000 << false;
        QTest::newRow("far left and above") << area.left() - 5000 << area.top() - 5000 << false;
        QTest::newRow("edge beyond the damage bound") << 2147483647 << 0 << false;
        QTest::newRow("a sliver on screen") << area.right() - 10 << area.top() + 10 << false;
        QTest::newRow("top left corner on screen") << area.right() - 100 << area.bottom() - 100 << true;
        QTest::newRow("on screen") << area.left() + 10 << area.top() + 20 << true;
    }
    void windowKeptOnScreen()
    {
        QFETCH(int, left);
        QFETCH(int, top);
        QFETCH(bool, stays);
        FormFixture f(iniWithFreeRelayPort("[Window]\r\nLeft=" + QByteArray::number(left)
                                           + "\r\nTop=" + QByteArray::number(top) + "\r\n"));
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        const QRect seen = f->frameGeometry().intersected(area);
        QVERIFY2(seen.width() >= 48 && seen.height() >= 48,
                 qPrintable(QStringLiteral("%1,%2").arg(f->x()).arg(f->y())));
        if (stays)
            QCOMPARE(f->pos(), QPoint(left, top));
        else // moved: its title bar, top left, is on the screen
            QVERIFY2(area.contains(f->frameGeometry().topLeft()),
                     qPrintable(QStringLiteral("%1,%2").arg(f->x()).arg(f->y())));
    }

    // "RelayServer"/"Bind": the listener's address, read and written back;
    // one that isn't an IPv4 address of this computer gives loopback only.
    void relayBindAddress_data()
    {
        QTest::addColumn<QByteArray>("bind"); // "-" for no key
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("reported");
        QTest::newRow("no key") << QByteArray("-") << QStringLiteral("0.0.0.0") << false;
        QTest::newRow("empty") << QByteArray("") << QStringLiteral("0.0.0.0") << false;
        QTest::newRow("loopback") << QByteArray("127.0.0.1") << QStringLiteral("127.0.0.1") << false;
        QTest::newRow("all") << QByteArray("0.0.0.0") << QStringLiteral("0.0.0.0") << false;
        QTest::newRow("not this computer's")
            << QByteArray("192.0.2.1") << QStringLiteral("127.0.0.1") << true;
        QTest::newRow("IPv6") << QByteArray("::1") << QStringLiteral("127.0.0.1") << true;
        QTest::newRow("garbage") << QByteArray("my.lan") << QStringLiteral("127.0.0.1") << true;
    }
    void relayBindAddress()
    {
        QFETCH(QByteArray, bind);
        QFETCH(QString, address);
        QFETCH(bool, reported);
        FormFixture f(
            iniWithFreeRelayPort(bind == "-" ? QByteArray() : "[RelayServer]\r\nBind=" + bind + "\r\n"));
        QVERIFY(f->IdTCPServer1->isListening());
        QCOMPARE(f->IdTCPServer1->listener()->serverAddress(), QHostAddress(address));
        const bool logged =
            f.logLines().join(QLatin1Char('\n')).contains(QStringLiteral("Relay bind address"));
        QCOMPARE(logged, reported);
        QVERIFY(f.messages.isEmpty());
        f.close();
        const QByteArray after = readFile(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY2(after.contains("Bind=" + (bind == "-" ? QByteArray() : bind) + "\r\n"), after.constData());
    }

    void failedSaveReported()
    {
        const QByteArray old = iniWithFreeRelayPort("[TCP/IP]\r\nHost=old.host\r\n");
        FormFixture f(old);
        f->EdHost->setText(QStringLiteral("new.host"));
        {
            platform::test::FileSizeLimit limit(16);
            if (!limit.applied)
                QSKIP("this system has no file-size limit for one process");
            f.close();
        }
        const QList<ShownMessage> shown = f.errors();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].text.contains(f.dir() + QStringLiteral("/Torvane.ini")), qPrintable(shown[0].text));
        QVERIFY2(shown[0].text.contains(QStringLiteral("large"), Qt::CaseInsensitive),
                 qPrintable(shown[0].text));
        QCOMPARE(readFile(f.dir() + QStringLiteral("/Torvane.ini")), old);

        // A settings file that is a folder: reported too, the folder stays.
        FormFixture d(iniWithFreeRelayPort());
        QFile::remove(d.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY(QDir(d.dir()).mkdir(QStringLiteral("Torvane.ini")));
        d.close();
        QCOMPARE(d.errors().size(), 1);
        QVERIFY(QFileInfo(d.dir() + QStringLiteral("/Torvane.ini")).isDir());
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
