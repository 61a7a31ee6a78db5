// The command list in the real window: editing, the line clipboard, the two
// selection modes and sending, single and paced by the server's acknowledges.

#include "support/formfixture.h"
#include "support/helpers.h"
#include "support/testserver.h"

#include "commands/keycodes.h"
#include "log/logview.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

const QStringList DesignRows = {"GetProp(Tool.AvrRadius())", "GetProp(Tool.Name())", "Get(Tool.A(),Tool.B())",
                                "Home()", "GetProp(Tool.GoToPar.Speed())"};

QList<int> selectedRows(const TForm1 *f)
{
    QList<int> out;
    for (int i = 0; i < f->LbCommands->count(); ++i)
        if (f->LbCommands->item(i)->isSelected())
            out << i;
    return out;
}

void setRows(TForm1 *f, const QStringList &texts)
{
    f->LbCommands->clear();
    f->LbCommands->addItems(texts);
}

bool connectForm(FormFixture &fx, TestServer &server)
{
    fx->EdHost->setText(QStringLiteral("127.0.0.1"));
    fx->EdPort->setText(QString::number(server.port()));
    fx->BtConnectClick();
    if (!QTest::qWaitFor([&] { return fx->serverConnected; }) || !server.waitForClient())
        return false;
    fx->sessionOpen = true;
    fx->UpdateSessionControls();
    return true;
}

void dblClickRow(TForm1 *f, int row)
{
    const QRect r = f->LbCommands->visualItemRect(f->LbCommands->item(row));
    QTest::mouseClick(f->LbCommands->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
    QTest::mouseDClick(f->LbCommands->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
    QTest::mouseRelease(f->LbCommands->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
}

bool logHas(const FormFixture &fx, const QString &text)
{
    for (const QString &l : fx.logLines())
        if (l.contains(text))
            return true;
    return false;
}

int countMessages(const FormFixture &fx, const QString &text)
{
    int n = 0;
    for (const ShownMessage &m : fx.messages)
        n += m.text == text;
    return n;
}

} // namespace

class TestCommandList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void deleteAndInsert()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        QCOMPARE(rows(f), DesignRows);
        QCOMPARE(f->CommandIndex(), -1);

        // Del on the first row leaves no current command; Insert appends it.
        f->LbCommands->setCurrentRow(0);
        f->LbCommands->setFocus();
        QTest::keyClick(f->LbCommands, Qt::Key_Delete);
        QCOMPARE(f->lineClipboard, DesignRows[0]);
        QCOMPARE(f->LbCommands->count(), 4);
        QCOMPARE(f->CommandIndex(), -1);
        QTest::keyClick(f->LbCommands, Qt::Key_Insert);
        QCOMPARE(rows(f), DesignRows.mid(1) + QStringList{DesignRows[0]});

        // Del, a click on another row, Insert: above the clicked row; the
        // clipboard keeps its text for a second Insert.
        f->LbCommands->setCurrentRow(2); // Home()
        f->BtDel->click();
        QCOMPARE(f->lineClipboard, QStringLiteral("Home()"));
        QCOMPARE(f->CommandIndex(), 1);
        f->LbCommands->setCurrentRow(0);
        f->LbCommandsKeyDown(VirtualKeyInsert);
        QCOMPARE(rows(f).mid(0, 2), QStringList({"Home()", DesignRows[1]}));
        QCOMPARE(f->CommandIndex(), 1); // the clicked command stays current
        f->LbCommandsKeyDown(VirtualKeyInsert);
        QCOMPARE(rows(f).mid(0, 3), QStringList({"Home()", "Home()", DesignRows[1]}));

        // Del changes neither the flag nor the saved list.
        QVERIFY(!f->listAppended);
    }

    void upDownAndClipboard()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->LbCommands->setCurrentRow(2);
        f->BtUp->click();
        QCOMPARE(rows(f),
                 QStringList({DesignRows[0], DesignRows[2], DesignRows[1], DesignRows[3], DesignRows[4]}));
        QCOMPARE(f->lineClipboard, DesignRows[2]);
        QCOMPARE(f->CommandIndex(), 1);
        f->LbCommandsKeyDown(VirtualKeyInsert); // a copy above the moved command
        QCOMPARE(rows(f).mid(0, 3), QStringList({DesignRows[0], DesignRows[2], DesignRows[2]}));
        QCOMPARE(f->CommandIndex(), 2);

        // Down moves and keeps the clipboard; last and first rows stay put.
        f->lineClipboard = QStringLiteral("clip");
        f->LbCommands->setCurrentRow(0);
        f->BtDwn->click();
        QCOMPARE(f->LbCommands->item(1)->text(), DesignRows[0]);
        QCOMPARE(f->CommandIndex(), 1);
        QCOMPARE(f->lineClipboard, QStringLiteral("clip"));
        const QStringList before = rows(f);
        f->LbCommands->setCurrentRow(f->LbCommands->count() - 1);
        f->BtDwn->click();
        f->LbCommands->setCurrentRow(0);
        f->BtUp->click();
        QCOMPARE(rows(f), before);
        QCOMPARE(f->lineClipboard, QStringLiteral("clip"));

        // Without a current command nothing moves.
        f->LbCommands->selectionModel()->clear();
        f->BtUp->click();
        f->BtDwn->click();
        QCOMPARE(rows(f), before);
        QVERIFY(!f->listAppended);
    }

    void addToMemoAndInsertRules()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        // Insert with an empty clipboard does nothing.
        f->LbCommandsKeyDown(VirtualKeyInsert);
        QCOMPARE(rows(f), DesignRows);

        // Shift+Add To Memo inserts the field's text, even an empty one.
        f->LbCommands->setCurrentRow(1);
        f->EdCurrentCommand->clear();
        fx.modifiers = Qt::ShiftModifier;
        f->BtAddToMemo->click();
        QCOMPARE(f->LbCommands->count(), 6);
        QCOMPARE(f->LbCommands->item(1)->text(), QString());
        QCOMPARE(f->lineClipboard, QString());
        QVERIFY(!f->listAppended);

        // Plain Add To Memo appends unchanged text and sets the flag.
        fx.modifiers = Qt::NoModifier;
        f->EdCurrentCommand->setText(QStringLiteral("  GoTo(X(1)) ;home "));
        f->BtAddToMemo->click();
        QCOMPARE(f->LbCommands->item(6)->text(), QStringLiteral("  GoTo(X(1)) ;home "));
        QCOMPARE(f->CommandIndex(), 2); // unchanged current command
        QVERIFY(f->listAppended);

        // Copy strips the comment only.
        setRows(f, {"Home() ;back to start"});
        f->LbCommands->setCurrentRow(0);
        f->BtCopy->click();
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("Home() "));
        f->EdCurrentCommand->setText(QStringLiteral("unchanged"));
        f->LbCommands->selectionModel()->clear();
        f->BtCopy->click();
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("unchanged"));
    }

    void delAcrossBothLists()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->lbFiles->addItems({"a.txt", "b.txt", "c.txt"});

        // A recent-files entry current, no command: the entry goes.
        f->lbFiles->setCurrentRow(1);
        f->BtDel->click();
        QCOMPARE(f->lbFiles->count(), 2);
        QCOMPARE(f->lbFiles->item(1)->text(), QStringLiteral("c.txt"));
        QCOMPARE(f->FileIndex(), 0);
        QCOMPARE(rows(f), DesignRows);

        // Both current: nothing goes, both lose their current item.
        f->LbCommands->setCurrentRow(2);
        QCOMPARE(f->FileIndex(), 0);
        f->BtDel->click();
        QCOMPARE(rows(f), DesignRows);
        QCOMPARE(f->lbFiles->count(), 2);
        QCOMPARE(f->CommandIndex(), -1);
        QCOMPARE(f->FileIndex(), -1);

        // Clicks in one list clear the other.
        f->LbCommands->setCurrentRow(2);
        f->lbFiles->setCurrentRow(0);
        f->lbFilesClick();
        QCOMPARE(f->CommandIndex(), -1);
        f->LbCommands->setCurrentRow(3);
        f->LbCommandsClick();
        QCOMPARE(f->FileIndex(), -1);

        // Multiple mode: Del removes the focus row; with a recent entry
        // current too it only clears that entry's selection.
        f->cbMultiple->click();
        f->SetCommandIndex(1);
        f->BtDel->click();
        QCOMPARE(f->LbCommands->count(), 4);
        QCOMPARE(f->lineClipboard, DesignRows[1]);
        QCOMPARE(f->CommandIndex(), 0);
        f->lbFiles->setCurrentRow(0);
        f->lbFilesClick(); // the focus row stays
        QCOMPARE(f->CommandIndex(), 0);
        f->BtDel->click();
        QCOMPARE(f->LbCommands->count(), 4);
        QCOMPARE(f->lbFiles->count(), 2);
        QCOMPARE(f->FileIndex(), -1);
    }

    void multipleModeEditingAndSwitch()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->sessionOpen = true;
        f->UpdateSessionControls();
        f->LbCommands->setCurrentRow(1);
        f->cbMultiple->click();
        QVERIFY(!f->BtCopy->isEnabled());
        QVERIFY(!f->BtSendNext->isEnabled());
        QCOMPARE(f->LbCommands->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(f->CommandIndex(), 1);
        QCOMPARE(selectedRows(f), QList<int>({1}));

        // Making a row current moves the focus only.
        f->LbCommands->item(3)->setSelected(true);
        f->SetCommandIndex(2);
        QCOMPARE(f->CommandIndex(), 2);
        QCOMPARE(selectedRows(f), QList<int>({1, 3}));
        f->SetCommandIndex(-1); // cannot be cleared
        f->SetCommandIndex(99); // past the end: unchanged
        QCOMPARE(f->CommandIndex(), 2);

        // Up moves the focus with the command; both rows come out unmarked.
        f->BtUp->click();
        QCOMPARE(f->LbCommands->item(1)->text(), DesignRows[2]);
        QCOMPARE(f->CommandIndex(), 1);
        QCOMPARE(selectedRows(f), QList<int>({3}));
        f->BtDwn->click();
        f->BtDwn->click();
        QCOMPARE(f->LbCommands->item(3)->text(), DesignRows[2]);
        QCOMPARE(f->CommandIndex(), 3);
        QCOMPARE(selectedRows(f), QList<int>());

        // Back to single selection: rows stay, buttons follow the session.
        f->LbCommands->item(3)->setSelected(true);
        f->cbMultiple->click();
        QCOMPARE(f->LbCommands->count(), 5);
        QVERIFY(f->BtCopy->isEnabled());
        QVERIFY(f->BtSendNext->isEnabled());
        QCOMPARE(f->CommandIndex(), 3);
        f->sessionOpen = false;
        f->UpdateSessionControls();
        f->cbMultiple->click();
        f->cbMultiple->click();
        QVERIFY(!f->BtSendNext->isEnabled());
    }

    void longCommandsScrollSideways()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        QTRY_COMPARE(f->LbCommands->horizontalScrollBar()->maximum(), 0);
        f->LbCommands->addItem(QStringLiteral("GoTo(") + QString(300, QLatin1Char('X'))
                               + QStringLiteral(")"));
        QTRY_VERIFY(f->LbCommands->horizontalScrollBar()->maximum() > 0);
    }

    void singleSendCopyAndSendNext()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        QVERIFY(connectForm(fx, server));
        setRows(f, {"Home() ;back to start", "GoTo(X(1))", "Get(X())"});

        // No current command: Send + Next sends nothing, the first row becomes current.
        f->BtSendNext->click();
        QCOMPARE(f->CommandIndex(), 0);
        QCOMPARE(f->EdTag->text(), QStringLiteral("100"));

        // Single-mode Send does not wait for the acknowledge.
        f->BtSendNext->click();
        f->BtSendNext->click();
        QCOMPARE(f->CommandIndex(), 2);
        f->LbCommandsKeyPress(QLatin1Char('\r')); // Enter: Send + Next on the last row
        QCOMPARE(f->CommandIndex(), 2);
        QVERIFY(server.waitForLines(3));
        QCOMPARE(server.received, QList<QByteArray>({"00100 Home()", "00101 GoTo(X(1))", "00102 Get(X())"}));
        QVERIFY(logHas(fx, QStringLiteral(">>> 00100 Home()")));

        // Double-click: Ctrl copies, otherwise sends the row under the pointer.
        fx.modifiers = Qt::ControlModifier;
        dblClickRow(f, 1);
        QTRY_COMPARE(f->EdCurrentCommand->text(), QStringLiteral("GoTo(X(1))"));
        fx.modifiers = Qt::NoModifier;
        dblClickRow(f, 0);
        QVERIFY(server.waitForLines(4));
        QCOMPARE(server.received.last(), QByteArray("00103 Home()"));
    }

    void doubleClickDoesNothingInMultipleMode()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        QVERIFY(connectForm(fx, server));
        f->cbMultiple->click();
        f->EdCurrentCommand->setText(QStringLiteral("unchanged"));
        dblClickRow(f, 1);
        fx.modifiers = Qt::ControlModifier;
        dblClickRow(f, 2);
        fx.modifiers = Qt::NoModifier;
        QCoreApplication::processEvents(); // the queued double-click handlers
        // A command sent now arrives after anything the double-clicks sent.
        f->SendToIpp(QStringLiteral("Marker()"));
        QVERIFY(server.waitForLines(1));
        QCOMPARE(server.received, QList<QByteArray>({"00100 Marker()"}));
        QCOMPARE(f->EdCurrentCommand->text(), QStringLiteral("unchanged"));
    }

    // The selected rows go in list order, each after the acknowledge of the
    // one before: the server acknowledges each line a little later and notes
    // how many acknowledges it had sent when each line arrived.
    void multiSendPacedByAcknowledges()
    {
        TestServer server;
        QList<int> acksAtArrival;
        int acks = 0;
        server.script = [&](const QByteArray &line) {
            acksAtArrival << acks;
            const QByteArray tag = line.left(5);
            QTimer::singleShot(30, &server, [&, tag] {
                ++acks;
                server.sendLine(tag + " &");
                server.sendLine(tag + " %");
            });
            return QList<QByteArray>();
        };
        FormFixture fx;
        TForm1 *f = fx.form();
        QVERIFY(connectForm(fx, server));
        setRows(f, {"First() ;one", "Skipped()", "Third()", "Fourth()", "Skipped2()"});
        f->cbMultiple->click();
        f->LbCommands->item(0)->setSelected(true);
        f->LbCommands->item(2)->setSelected(true);
        f->LbCommands->item(3)->setSelected(true);
        f->SetCommandIndex(1);

        runMultiSend(f, [f] { f->BtSendMemo->click(); });
        QVERIFY(server.waitForLines(3));
        QCOMPARE(server.received, QList<QByteArray>({"00100 First()", "00101 Third()", "00102 Fourth()"}));
        QCOMPARE(acksAtArrival, QList<int>({0, 1, 2}));
        QCOMPARE(selectedRows(f), QList<int>({0, 2, 3}));
        QCOMPARE(f->CommandIndex(), 1);

        // Enter in multiple mode: all selected rows, then the focus moves down.
        f->LbCommands->clearSelection();
        f->LbCommands->item(4)->setSelected(true);
        f->LbCommands->setFocus();
        runMultiSend(f, [f] { QTest::keyClick(f->LbCommands, Qt::Key_Return); });
        QVERIFY(server.waitForLines(4));
        QCOMPARE(f->CommandIndex(), 2);
        QCOMPARE(server.received.last(), QByteArray("00103 Skipped2()"));
    }

    // Rows taken at the start go out unchanged whatever happens to the list.
    void multiSendUsesRowsAsTheyWereAtStart()
    {
        TestServer server;
        FormFixture fx;
        TForm1 *f = fx.form();
        server.script = [&](const QByteArray &line) {
            if (server.received.size() == 1) {
                // While the first waits: replace the whole list, then acknowledge.
                QTimer::singleShot(0, f, [&, f, line] {
                    f->BtRestoreClick();
                    f->cbMultiple->click(); // mode switch too
                    server.sendLine(line.left(5) + " &");
                });
            } else {
                server.sendLine(line.left(5) + " &");
            }
            return QList<QByteArray>();
        };
        QVERIFY(connectForm(fx, server));
        setRows(f, {"A()", "B()", "C()"});
        f->cbMultiple->click();
        for (int i = 0; i < 3; ++i)
            f->LbCommands->item(i)->setSelected(true);
        runMultiSend(f, [f] { f->BtSendMemo->click(); });
        QVERIFY(server.waitForLines(3));
        QCOMPARE(server.received, QList<QByteArray>({"00100 A()", "00101 B()", "00102 C()"}));
        QCOMPARE(f->LbCommands->count(), 0); // restored from the empty saved list
    }

    // A dropped link ends the multi-send: nothing goes over a later connection.
    void multiSendEndsWhenTheLinkDrops()
    {
        TestServer server;
        TestServer second;
        FormFixture fx;
        TForm1 *f = fx.form();
        server.script = [&](const QByteArray &) {
            QTimer::singleShot(0, &server, [&] { server.dropClient(); });
            return QList<QByteArray>();
        };
        QVERIFY(connectForm(fx, server));
        f->cbMultiple->click();
        for (int i = 0; i < 3; ++i)
            f->LbCommands->item(i)->setSelected(true);
        runMultiSend(f, [f] { f->BtSendMemo->click(); });
        QVERIFY(!f->serverConnected);
        QCOMPARE(server.received.size(), 1);
        QVERIFY(logHas(fx, QStringLiteral("Multiple send ended, 2 commands not sent (connection lost)")));

        QVERIFY(connectForm(fx, second));
        QVERIFY(f->clearToSend);
        f->SendToIpp(QStringLiteral("Marker()"));
        QVERIFY(second.waitForLines(1));
        QCOMPARE(second.received, QList<QByteArray>({"00101 Marker()"}));

        // With the link down from the start, the operator hears of it.
        f->sessionOpen = false;
        f->BtConnectClick();
        QVERIFY(!f->serverConnected);
        fx.messages.clear();
        f->BtSendMemo->setEnabled(true);
        f->BtSendMemo->click();
        QCOMPARE(countMessages(fx, QStringLiteral("Not Connected.")), 1);
        QVERIFY(!f->multiSendActive);
    }

    // Send again stops it; a time-out ends it; closing the window ends it.
    void multiSendCanBeEnded()
    {
        {
            TestServer server;
            FormFixture fx;
            TForm1 *f = fx.form();
            server.script = [&](const QByteArray &line) {
                if (server.received.size() == 1) {
                    QTimer::singleShot(0, f, [&, f, line] {
                        f->BtSendMemo->click(); // second Send: stop
                        server.sendLine(line.left(5) + " &");
                    });
                }
                return QList<QByteArray>();
            };
            QVERIFY(connectForm(fx, server));
            f->cbMultiple->click();
            for (int i = 0; i < 3; ++i)
                f->LbCommands->item(i)->setSelected(true);
            runMultiSend(f, [f] { f->BtSendMemo->click(); });
            QTRY_VERIFY(f->clearToSend);
            QCOMPARE(server.received.size(), 1);
            QVERIFY(logHas(fx, QStringLiteral("2 commands not sent (stopped by the operator)")));
            QVERIFY(!f->multiSendActive);
        }
        {
            TestServer server; // never acknowledges
            FormFixture fx;
            TForm1 *f = fx.form();
            QVERIFY(connectForm(fx, server));
            f->noTimeout = false;
            f->TimerCTS->setInterval(50);
            f->cbMultiple->click();
            for (int i = 0; i < 3; ++i)
                f->LbCommands->item(i)->setSelected(true);
            runMultiSend(f, [f] { f->BtSendMemo->click(); });
            QCOMPARE(server.received.size(), 1);
            QVERIFY(logHas(fx, QStringLiteral("(acknowledge time-out)")));
            QCOMPARE(countMessages(fx, QStringLiteral("Timout sending command")), 1);
        }
        {
            TestServer server;
            auto fx = std::make_unique<FormFixture>();
            TForm1 *f = fx->form();
            server.script = [&](const QByteArray &line) {
                QTimer::singleShot(0, f, [&, line] {
                    fx->close();
                    server.sendLine(line.left(5) + " &");
                });
                return QList<QByteArray>();
            };
            QVERIFY(connectForm(*fx, server));
            f->cbMultiple->click();
            for (int i = 0; i < 3; ++i)
                f->LbCommands->item(i)->setSelected(true);
            runMultiSend(f, [f] { f->BtSendMemo->click(); });
            QTRY_VERIFY(f->clearToSend); // the acknowledge arrived, nothing followed
            QCOMPARE(server.received.size(), 1);
            fx.reset();
        }
    }

    // The link goes down and comes straight back while a multi-send waits:
    // the rows left never go over the new link.
    void multiSendNeverUsesALaterLink()
    {
        TestServer server;
        TestServer second;
        FormFixture fx;
        TForm1 *f = fx.form();
        server.script = [&](const QByteArray &) {
            QTimer::singleShot(0, f, [&, f] {
                f->sessionOpen = false;
                f->BtConnectClick(); // down
                f->EdPort->setText(QString::number(second.port()));
                f->BtConnectClick(); // and up again, elsewhere
            });
            return QList<QByteArray>();
        };
        QVERIFY(connectForm(fx, server));
        f->cbMultiple->click();
        for (int i = 0; i < 3; ++i)
            f->LbCommands->item(i)->setSelected(true);
        runMultiSend(f, [f] { f->BtSendMemo->click(); });
        QVERIFY(second.waitForClient());
        QTRY_VERIFY(f->serverConnected);
        QVERIFY(f->clearToSend);
        second.sendLine("00100 &"); // a stray acknowledge moves nothing
        QTRY_VERIFY(fx.logLines().last().endsWith(QStringLiteral("<<< 00100 &")));
        QCoreApplication::processEvents();
        QVERIFY(second.received.isEmpty());
        QCOMPARE(server.received.size(), 1);
        QVERIFY(logHas(fx, QStringLiteral("Multiple send ended, 2 commands not sent (connection lost)")));
    }
};

QTEST_MAIN(TestCommandList)
#include "tst_commandlist.moc"
