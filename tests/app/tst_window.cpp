// The main window right after start-up and its small behaviours.

#include "support/formfixture.h"

#include "log/logview.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

class TestWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyControlFoundByName()
    {
        FormFixture fx;
        const char *names[] = {"EdHost",
                               "EdPort",
                               "edListenPort",
                               "BtConnect",
                               "LaStatus",
                               "LaServerStatus",
                               "CBStay",
                               "BtStart",
                               "BtClear",
                               "BtEnum",
                               "BtEnableUser",
                               "BTAbortE",
                               "BtGet",
                               "CBWithRT",
                               "CBWrist",
                               "edToolC",
                               "BtCopyProbe",
                               "EdToolF",
                               "BtChange",
                               "BtAltChange",
                               "BtFind",
                               "BtGCTA",
                               "lbFiles",
                               "BtLoad",
                               "BtSave",
                               "BtRestore",
                               "BtDel",
                               "BtUp",
                               "BtDwn",
                               "LbCommands",
                               "BtSendNext",
                               "BtSendMemo",
                               "cbMultiple",
                               "BtCopy",
                               "BtSend",
                               "BtAddToMemo",
                               "EdTag",
                               "EdCurrentCommand",
                               "MemoLog",
                               "BtClearLog",
                               "EdExclude",
                               "CbExclude",
                               "btMetrolog",
                               "btPCDMIS",
                               "CbFreeze",
                               "BtSaveLog",
                               "cbError",
                               "cbToolError",
                               "cbIncrementTool",
                               "cbCircularMove",
                               "cbModusFilter",
                               "EdNewTool",
                               "BtNewTool",
                               "BtF1",
                               "BtF2",
                               "BtF3",
                               "BtF4",
                               "btFakeClose",
                               "btFakeXon",
                               "btError9"};
        for (const char *name : names)
            QVERIFY2(fx->findChild<QWidget *>(QLatin1String(name)), name);
        QCOMPARE(fx->findChild<QLineEdit *>("EdTag")->accessibleName(), QStringLiteral("Next tag"));
        QCOMPARE(fx->findChild<QWidget *>("MemoLog")->accessibleName(), QStringLiteral("Traffic log"));
        QCOMPARE(fx->btFakeXon->text(), QStringLiteral("&& Cmd")); // shows one ampersand
        QCOMPARE(fx->windowTitle(), QStringLiteral("    Torvane V2.25   November 8th 2013"));
    }

    void statesAfterStartUp()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        QCOMPARE(f->BtConnect->text(), QStringLiteral("Connect"));
        QCOMPARE(f->LaStatus->text(), QStringLiteral("Idle ..."));
        QCOMPARE(f->BtStart->text(), QStringLiteral("StartSession()"));
        QVERIFY(!f->BtStart->isEnabled());
        for (QWidget *w : {static_cast<QWidget *>(f->BtSend), static_cast<QWidget *>(f->BtSendMemo),
                           static_cast<QWidget *>(f->BtSendNext), static_cast<QWidget *>(f->BtClear),
                           static_cast<QWidget *>(f->BtEnum), static_cast<QWidget *>(f->BtGet),
                           static_cast<QWidget *>(f->BtChange), static_cast<QWidget *>(f->BtFind),
                           static_cast<QWidget *>(f->BtGCTA), static_cast<QWidget *>(f->BtAltChange),
                           static_cast<QWidget *>(f->BtEnableUser), static_cast<QWidget *>(f->BTAbortE),
                           static_cast<QWidget *>(f->BtNewTool), static_cast<QWidget *>(f->EdNewTool)})
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(f->BtSaveLog->isEnabled());
        QVERIFY(f->BtCopyProbe->isEnabled());
        QVERIFY(f->cbModusFilter->isChecked());
        QVERIFY(f->cbIncrementTool->isChecked());
        QVERIFY(!f->clearToSend);
        QVERIFY(!f->serverConnected);
        QCOMPARE(f->LbCommands->count(), 5);
        QCOMPARE(f->LbCommands->item(3)->text(), QStringLiteral("Home()"));
        // The log starts with one empty line.
        QCOMPARE(f->MemoLog->lines(), QStringList{QString()});
        // Simulator controls hidden outside advanced mode.
        QVERIFY(!f->BtF1->isVisible());
        QVERIFY(!f->edListenPort->isVisible());
        QCOMPARE(f->MemoLog->geometry().top(), 112);
    }

    void advancedLayoutKeepsLogBottom()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        const QRect normal = f->MemoLog->geometry();
        QCOMPARE(normal.top(), 112);
        QCOMPARE(normal.height(), 473);
        fx.modifiers = Qt::ShiftModifier | Qt::ControlModifier;
        QTest::mouseClick(f, Qt::LeftButton, Qt::NoModifier, QPoint(700, 640));
        QVERIFY(f->advancedMode);
        QCOMPARE(f->MemoLog->geometry().top(), 170);
        QCOMPARE(f->MemoLog->geometry().bottom(), normal.bottom());
        QVERIFY(f->BtF1->isVisible());
        QVERIFY(f->cbModusFilter->isVisible());
        QVERIFY(f->edListenPort->isVisible());
        QTest::mouseClick(f, Qt::LeftButton, Qt::NoModifier, QPoint(700, 640));
        QVERIFY(!f->advancedMode);
        QCOMPARE(f->MemoLog->geometry(), normal);
        QVERIFY(!f->BtF1->isVisible());

        // The log grows with the window.
        f->resize(f->width() + 100, f->height() + 50);
        QCOMPARE(f->MemoLog->geometry().width(), normal.width() + 100);
        QCOMPARE(f->MemoLog->geometry().height(), normal.height() + 50);
        QCOMPARE(f->MemoLog->geometry().top(), 112);
    }

    void backgroundClickClearsSelectionsOnce()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        f->LbCommands->setCurrentRow(2);
        f->lbFiles->addItem(QStringLiteral("a.txt"));
        f->lbFiles->setCurrentRow(0);
        QVERIFY(!f->firstClickDone);
        QTest::mouseClick(f, Qt::LeftButton, Qt::NoModifier, QPoint(700, 640));
        QVERIFY(f->firstClickDone);
        QVERIFY(!f->advancedMode);
        QCOMPARE(f->LbCommands->currentRow(), -1);
        QCOMPARE(f->lbFiles->currentRow(), -1);
        QVERIFY(!f->isMinimized());
    }

    void stayOnTopKeepsGeometry()
    {
        FormFixture fx;
        TForm1 *f = fx.form();
        const QRect g = f->geometry();
        f->CBStay->click();
        QVERIFY(f->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(f->geometry(), g);
        f->CBStay->click();
        QVERIFY(!(f->windowFlags() & Qt::WindowStaysOnTopHint));
    }

    void modifierQueries()
    {
        FormFixture fx;
        fx.modifiers = Qt::AltModifier | Qt::ShiftModifier;
        QVERIFY(fx->IsAltDown());
        QVERIFY(fx->IsShiftDown());
        QVERIFY(!fx->IsCtrlDown());
    }

    void handlerErrorsShownWithFullStop()
    {
        FormFixture fx;
        fx->RunHandler([] { throw HandlerError(QStringLiteral("Something failed")); });
        fx->RunHandler([] { throw HandlerError(QStringLiteral("Already ends.")); });
        QCOMPARE(fx.messages.size(), 2);
        QCOMPARE(fx.messages[0].text, QStringLiteral("Something failed."));
        QCOMPARE(fx.messages[1].text, QStringLiteral("Already ends."));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
