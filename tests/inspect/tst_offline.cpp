// Files read into the inspector in place of the live traffic: a saved log,
// a transcript and a packet capture of the same session, the report of one,
// the way back to the live traffic, files that cannot be shown, and a
// reading that is cancelled.

#include "inspect/inspectormodels.h"
#include "inspect/inspectorwindow.h"
#include "inspect/liveinspector.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QCheckBox>
#include <QLabel>
#include <QtEndian>
#include <QtTest>

#include <memory>

using inspect::FindingModel;
using inspect::InspectorWindow;
using inspect::StatsModel;
using inspect::TransactionModel;

namespace {

const QString CaptureData = QStringLiteral(CAPTURE_DATA);
const QString CheckData = QStringLiteral(CHECK_DATA);

QStringList Column(QAbstractItemModel *m, int column)
{
    QStringList out;
    for (int r = 0; r < m->rowCount(); ++r)
        out << m->index(r, column).data().toString();
    return out;
}

// The inspector window on its own, with dialogs the test answers.
struct Rig {
    inspect::LiveInspector live;
    QStringList messages;
    QString chosen, saveTo;
    bool cancel = false;
    int progressShown = 0;
    std::unique_ptr<InspectorWindow> w;

    Rig()
    {
        FormHooks h;
        h.message = [this](QMessageBox::Icon, const QString &, const QString &text) { messages << text; };
        h.openFileName = [this](const QString &, const QString &, bool) { return chosen; };
        h.saveFileName = [this](const QString &, const QString &) { return saveTo; };
        h.progress = [this](const QString &, qint64 done, qint64 total) {
            if (done < total)
                ++progressShown;
            return !cancel;
        };
        w = std::make_unique<InspectorWindow>(&live, h);
        w->show();
    }
    void click(const QString &path)
    {
        chosen = path;
        w->openButton->click();
    }
    // One operator command on the live traffic.
    void liveLine(check::Direction dir, const char *line)
    {
        live.feed(check::Leg::Operator, dir, QByteArrayView(line), false, -1);
        live.flush();
    }
};

} // namespace

class TestOffline : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void aSavedLogInPlaceOfTheLiveTraffic()
    {
        Rig rig;
        rig.liveLine(check::Direction::ToServer, "00001 StartSession()");
        QCOMPARE(rig.w->transactions()->rowCount(), 1);

        rig.click(CaptureData + QStringLiteral("/loopback-tap.log"));
        QTRY_VERIFY(rig.w->showingFile());
        QVERIFY(rig.messages.isEmpty());
        QVERIFY(rig.w->windowTitle().contains(QStringLiteral("loopback-tap.log")));
        QVERIFY(rig.w->liveButton->isVisible());
        QVERIFY(rig.w->sourceLabel->text().contains(QStringLiteral("torvane log")));
        TransactionModel *txn = rig.w->transactions();
        QCOMPARE(txn->rowCount(), 11);
        QVERIFY(Column(txn, TransactionModel::ColCommand).contains(QStringLiteral("NoSuchMethod()")));
        QCOMPARE(Column(txn, TransactionModel::ColLeg).filter(QStringLiteral("Relay")).size(), 11);
        // Its findings, placed at the file's lines.
        FindingModel *found = rig.w->findings();
        QStringList rules = Column(found, FindingModel::ColRule);
        rules.sort();
        QCOMPARE(rules, (QStringList{QStringLiteral("R-ERROR-TEXT"), QStringLiteral("R-METHOD")}));
        const int errorText =
            int(Column(found, FindingModel::ColRule).indexOf(QStringLiteral("R-ERROR-TEXT")));
        QCOMPARE(found->index(errorText, FindingModel::ColLogLine).data().toInt(), 33);
        // Timing from the log's stamps: each command took about 40 ms.
        StatsModel *stats = rig.w->stats();
        const int startSession =
            int(Column(stats, StatsModel::ColMethod).indexOf(QStringLiteral("StartSession")));
        QVERIFY(startSession >= 0);
        const double done =
            stats->text(startSession, StatsModel::ColDoneMedian).section(QLatin1Char(' '), 0, 0).toDouble();
        QVERIFY2(done > 30 && done < 50, qPrintable(stats->text(startSession, StatsModel::ColDoneMedian)));

        // Other rules read the file again.
        for (QAction *a : rig.w->rulesMenu->actions())
            if (a->text().startsWith(QStringLiteral("R-METHOD ")))
                a->setChecked(false);
        QTRY_COMPARE(Column(rig.w->findings(), FindingModel::ColRule),
                     QStringList{QStringLiteral("R-ERROR-TEXT")});
        QVERIFY(rig.w->showingFile());
        QCOMPARE(rig.w->transactions()->rowCount(), 11);

        // The live traffic is still checked underneath, unseen.
        rig.liveLine(check::Direction::FromServer, "00001 &");
        rig.liveLine(check::Direction::FromServer, "00001 %");
        rig.liveLine(check::Direction::ToServer, "00002 Home()");
        QCOMPARE(rig.live.checker().totals(check::Leg::Operator).completed, 1);
        QCOMPARE(rig.w->transactions()->rowCount(), 11);

        rig.w->liveButton->click();
        QVERIFY(!rig.w->showingFile());
        QVERIFY(!rig.w->liveButton->isVisible());
        QVERIFY(!rig.w->windowTitle().contains(QStringLiteral("loopback")));
        QCOMPARE(Column(rig.w->transactions(), TransactionModel::ColCommand),
                 (QStringList{QStringLiteral("Home()"), QStringLiteral("StartSession()")}));
        QVERIFY2(rig.w->findings()->rowCount() == 0,
                 qPrintable(rig.w->findings()->index(0, FindingModel::ColSentence).data().toString()));
    }

    void aCaptureReadsLikeItsLog()
    {
        // The capture and the log were recorded of one session.
        Rig rig;
        rig.click(CaptureData + QStringLiteral("/loopback-tap.log"));
        QTRY_VERIFY(rig.w->showingFile());
        QStringList logCommands = Column(rig.w->transactions(), TransactionModel::ColCommand);
        QStringList logRules = Column(rig.w->findings(), FindingModel::ColRule);
        const QStringList logMethods = Column(rig.w->stats(), StatsModel::ColMethod);

        rig.click(CaptureData + QStringLiteral("/loopback.pcap"));
        QTRY_VERIFY(rig.w->windowTitle().contains(QStringLiteral("loopback.pcap")));
        QVERIFY(rig.messages.isEmpty());
        QVERIFY(rig.w->sourceLabel->text().contains(QStringLiteral("capture")));
        QCOMPARE(Column(rig.w->transactions(), TransactionModel::ColCommand), logCommands);
        QCOMPARE(Column(rig.w->findings(), FindingModel::ColRule), logRules);
        QCOMPARE(Column(rig.w->stats(), StatsModel::ColMethod), logMethods);
        // Times from the capture: the same 40 ms or so per command.
        const QStringList durations = Column(rig.w->transactions(), TransactionModel::ColToDone);
        for (const QString &d : durations)
            QVERIFY2(!d.isEmpty() && !d.startsWith(QLatin1Char('(')),
                     qPrintable(durations.join(QLatin1Char('|'))));

        // Its report, saved as live.
        QTemporaryDir dir;
        rig.saveTo = dir.filePath(QStringLiteral("report.html"));
        QVERIFY(rig.w->saveReport());
        QFile f(rig.saveTo);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray html = f.readAll();
        QVERIFY(html.contains("R-ERROR-TEXT"));
        QVERIFY(html.contains("EnumTools"));
    }

    void aCaptureWithAGap()
    {
        // The loopback capture without the frame that carried one command.
        QFile whole(CaptureData + QStringLiteral("/loopback.pcap"));
        QVERIFY(whole.open(QIODevice::ReadOnly));
        const QByteArray in = whole.readAll();
        QCOMPARE(in.left(4), QByteArray("\xd4\xc3\xb2\xa1", 4));
        QByteArray out = in.left(24);
        bool dropped = false;
        for (qsizetype at = 24; at + 16 <= in.size();) {
            const qsizetype length = qFromLittleEndian<quint32>(in.constData() + at + 8);
            const QByteArray record = in.mid(at, 16 + length);
            at += 16 + length;
            if (!dropped && record.contains("00004 GoTo(")) {
                dropped = true;
                continue;
            }
            out += record;
        }
        QVERIFY(dropped);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("gap.pcap"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(out);
        f.close();

        Rig rig;
        rig.click(path);
        QTRY_VERIFY(rig.w->showingFile());
        FindingModel *found = rig.w->findings();
        const int gap = int(Column(found, FindingModel::ColRule).indexOf(QStringLiteral("R-CAPTURE-GAP")));
        QVERIFY2(gap >= 0, qPrintable(Column(found, FindingModel::ColRule).join(QLatin1Char(' '))));
        QVERIFY(found->index(gap, FindingModel::ColSentence)
                    .data()
                    .toString()
                    .contains(QStringLiteral("client")));
        // One command lost, the rest of the session still read.
        const QStringList commands = Column(rig.w->transactions(), TransactionModel::ColCommand);
        QVERIFY(!commands.contains(QStringLiteral("GoTo(X(10), Y(20), Z(-5))")));
        QVERIFY(commands.contains(QStringLiteral("EndSession()")));
    }

    void aNistLog()
    {
        Rig rig;
        rig.click(CheckData + QStringLiteral("/nist/Get_Client.log"));
        QTRY_VERIFY(rig.w->showingFile());
        QVERIFY(rig.w->sourceLabel->text().contains(QStringLiteral("nist-client")));
        QVERIFY(Column(rig.w->transactions(), TransactionModel::ColCommand)
                    .contains(QStringLiteral("StartSession()")));
    }

    void aTranscriptWithoutTimes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("session.txt"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("; a conversation typed by hand\n"
                "C: 00001 StartSession()\nS: 00001 &\nS: 00001 %\n"
                "C: 00002 Home()\nS: 00002 &\nS: 00003 %\n");
        f.close();
        Rig rig;
        rig.click(path);
        QTRY_VERIFY(rig.w->showingFile());
        QVERIFY(rig.w->sourceLabel->text().contains(QStringLiteral("transcript")));
        QVERIFY(Column(rig.w->findings(), FindingModel::ColRule).contains(QStringLiteral("R-UNKNOWN-TAG")));
        // The two commands and the server's line for a tag never sent.
        QCOMPARE(rig.w->transactions()->rowCount(), 3);
        QVERIFY(Column(rig.w->transactions(), TransactionModel::ColResult)
                    .contains(QStringLiteral("[finding] matches no command")));
    }

    // A client with six faults: six root causes, whatever follows from one
    // under it with the client at fault, and a row for every line the
    // client sent, the malformed one with the server's answer.
    void sixFaultsSixRootCauses()
    {
        Rig rig;
        rig.click(CheckData + QStringLiteral("/patterns/six-faults.txt"));
        QTRY_VERIFY(rig.w->showingFile());
        FindingModel *fm = rig.w->findings();
        QCOMPARE(Column(fm, FindingModel::ColRule),
                 (QStringList{"R-CRLF", "R-TAG-FORMAT", "R-CRLF", "R-TAG-UNIQUE", "R-ACK-FIRST", "R-CRLF"}));
        QCOMPARE(Column(fm, FindingModel::ColLogLine), (QStringList{"23", "22", "18", "13", "5", "1"}));
        const QModelIndex reuse = fm->index(3, 0);
        QVERIFY(fm->rowCount(reuse) > 0);
        for (int r = 0; r < fm->rowCount(reuse); ++r) {
            const QString text = fm->index(r, FindingModel::ColSentence, reuse).data().toString();
            QVERIFY2(text.endsWith(QStringLiteral("(follows from R-TAG-UNIQUE at line 13)")),
                     qPrintable(text));
            QCOMPARE(fm->index(r, FindingModel::ColFrom, reuse).data().toString(), QStringLiteral("client"));
            QCOMPARE(fm->parent(fm->index(r, 0, reuse)), reuse);
        }
        QVERIFY(rig.w->windowTitle().contains(QStringLiteral("6 root causes (")));
        inspect::FindingSummaryModel *sm = rig.w->summary();
        qint64 roots = 0;
        for (int r = 0; r < sm->rowCount(); ++r)
            roots += sm->rowAt(r)->count;
        QCOMPARE(roots, 6);

        // Nine client lines, nine rows; the malformed one is found by its
        // findings and carries the server's error.
        TransactionModel *tm = rig.w->transactions();
        QCOMPARE(tm->rowCount(), 9);
        rig.w->onlyFindingsBox->setChecked(true);
        const QStringList commands = Column(tm, TransactionModel::ColCommand);
        const int bad = int(commands.indexOf(QStringLiteral("6 Home()")));
        QVERIFY2(bad >= 0, qPrintable(commands.join(QLatin1Char('|'))));
        QVERIFY(tm->index(bad, TransactionModel::ColResult)
                    .data()
                    .toString()
                    .contains(QStringLiteral("Illegal tag")));
        QCOMPARE(tm->index(bad, TransactionModel::ColTag).data().toString(), QString());
        rig.w->tabs->setCurrentIndex(2);
        QVERIFY2(rig.w->totalsLabel->text().contains(
                     QStringLiteral("1 error line, 1 event, 1 line that is no command")),
                 qPrintable(rig.w->totalsLabel->text()));

        // The report groups the same way.
        const QString html = rig.w->reportHtml();
        QCOMPARE(html.count(QStringLiteral("<tr class=\"followon\">")), fm->rowCount(reuse));
    }

    void filesThatCannotBeShown()
    {
        QTemporaryDir dir;
        // A capture cut inside its last packet.
        QFile whole(CaptureData + QStringLiteral("/loopback.pcap"));
        QVERIFY(whole.open(QIODevice::ReadOnly));
        const QString cut = dir.filePath(QStringLiteral("cut.pcap"));
        QFile part(cut);
        QVERIFY(part.open(QIODevice::WriteOnly));
        part.write(whole.readAll().chopped(20));
        part.close();
        const QStringList bad{
            CheckData + QStringLiteral("/logs/binary.bin"), CheckData + QStringLiteral("/logs/prose.txt"),
            CheckData + QStringLiteral("/logs/empty.txt"), cut, dir.filePath(QStringLiteral("missing.log"))};

        Rig rig;
        rig.liveLine(check::Direction::ToServer, "00001 StartSession()");
        QStringList all;
        // Live, and then with a file shown: either stays as it was.
        for (bool fileShown : {false, true}) {
            if (fileShown) {
                rig.click(CaptureData + QStringLiteral("/loopback-tap.log"));
                QTRY_VERIFY(rig.w->showingFile());
            }
            const QString title = rig.w->windowTitle();
            const int rows = rig.w->transactions()->rowCount();
            for (const QString &path : bad) {
                rig.messages.clear();
                rig.click(path);
                QTRY_VERIFY(!rig.w->readingFile());
                QCOMPARE(rig.messages.size(), 1);
                all << rig.messages;
                QVERIFY2(rig.messages[0].contains(QStringLiteral("cannot be shown")),
                         qPrintable(rig.messages[0]));
                QCOMPARE(rig.w->showingFile(), fileShown);
                QCOMPARE(rig.w->windowTitle(), title);
                QCOMPARE(rig.w->transactions()->rowCount(), rows);
            }
        }
        QCOMPARE(all.filter(QStringLiteral("cut short")).size(), 2);
    }

    void readingTakesTurnsAndCanBeCancelled()
    {
        // A log of several slices.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("long.log"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("---------- Connected  09.Dec.2026 - 12.00.00.000\n12.00.00:000  >>> 00001 StartSession()\n"
                "12.00.00:000  <<< 00001 &\n12.00.00:000  <<< 00001 %\n");
        for (int i = 0; f.size() < 3 * (1 << 20); ++i) {
            const QByteArray tag = QByteArray::number(10000 + i % 90000);
            f.write("12.00.00:000  >>> " + tag + " Home()\n12.00.00:001  <<< " + tag
                    + " &\n12.00.00:040  <<< " + tag + " %\n");
        }
        f.close();

        Rig rig;
        rig.cancel = true;
        rig.click(path);
        QVERIFY(rig.w->readingFile());
        QTRY_VERIFY(!rig.w->readingFile());
        QVERIFY(rig.progressShown > 0);
        QVERIFY(!rig.w->showingFile());
        QVERIFY(rig.messages.isEmpty());

        rig.cancel = false;
        rig.click(path);
        // Read in turns of the event loop, not at once.
        QVERIFY(rig.w->readingFile());
        QVERIFY(!rig.w->showingFile());
        QTRY_VERIFY(rig.w->showingFile());
        QVERIFY(rig.w->transactions()->rowCount() > 1000);
        QVERIFY2(rig.w->findings()->rowCount() == 0,
                 qPrintable(rig.w->findings()->index(0, FindingModel::ColSentence).data().toString()));
    }
};

QTEST_MAIN(TestOffline)
#include "tst_offline.moc"
