// Every shortcut button's exact wire text against the test server.

#include "support/formfixture.h"
#include "support/testserver.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class TestShortcuts : public QObject {
    Q_OBJECT

    std::unique_ptr<TestServer> server;
    std::unique_ptr<FormFixture> fx;

    QByteArray sent(QPushButton *button)
    {
        const int before = int(server->received.size());
        button->click();
        if (!server->waitForLines(before + 1))
            return QByteArray("<nothing sent>");
        return server->received.last();
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<TestServer>();
        fx = std::make_unique<FormFixture>();
        fx->form()->EdPort->setText(QString::number(server->port()));
        fx->form()->BtConnectClick();
        QTRY_VERIFY(fx->form()->serverConnected);
        QVERIFY(server->waitForClient());
        fx->form()->EdTag->setText(QStringLiteral("100"));
    }
    void cleanup()
    {
        fx.reset();
        server.reset();
    }

    void sessionToggle()
    {
        TForm1 *f = fx->form();
        QCOMPARE(sent(f->BtStart), QByteArray("00100 StartSession()"));
        QCOMPARE(f->EdTag->text(), QStringLiteral("101"));
        QCOMPARE(f->BtStart->text(), QStringLiteral("EndSession()"));
        QVERIFY(f->BtEnum->isEnabled());
        QVERIFY(fx->logLines().last().endsWith(QStringLiteral(">>> 00100 StartSession()")));
        QCOMPARE(sent(f->BtStart), QByteArray("00101 EndSession()"));
        QVERIFY(!f->BtEnum->isEnabled());
        // The choice follows the session state, not the caption.
        f->sessionOpen = true;
        QCOMPARE(sent(f->BtStart), QByteArray("00102 EndSession()"));
    }

    void fixedCommandsAndPositionQuery()
    {
        TForm1 *f = fx->form();
        f->BtStart->click();
        QVERIFY(server->waitForLines(1));
        QCOMPARE(sent(f->BtClear), QByteArray("00101 ClearAllErrors()"));
        QCOMPARE(sent(f->BtEnum), QByteArray("00102 EnumTools()"));
        QCOMPARE(sent(f->BtEnableUser), QByteArray("00103 EnableUser()"));
        f->EdTag->setText(QStringLiteral("123"));
        QCOMPARE(sent(f->BTAbortE), QByteArray("E0123 AbortE()"));
        QCOMPARE(sent(f->BtGet), QByteArray("00124 Get(X(),Y(),Z())"));
        f->CBWithRT->setChecked(true);
        QCOMPARE(sent(f->BtGet), QByteArray("00125 Get(X(),Y(),Z(), R())"));
        f->CBWrist->setChecked(true);
        QCOMPARE(sent(f->BtGet), QByteArray("00126 Get(X(),Y(),Z(), R(), Tool.A(), Tool.B())"));
        f->CBWithRT->setChecked(false);
        QCOMPARE(sent(f->BtGet), QByteArray("00127 Get(X(),Y(),Z(), Tool.A(), Tool.B())"));
    }

    void toolCommandsCleanTheirField()
    {
        TForm1 *f = fx->form();
        f->BtStart->click();
        QVERIFY(server->waitForLines(1));
        f->edToolC->setText(QStringLiteral("\"Probe 1\""));
        QCOMPARE(sent(f->BtChange), QByteArray("00101 ChangeTool(\"Probe1\")"));
        QCOMPARE(f->edToolC->text(), QStringLiteral("Probe1"));
        f->EdToolF->setText(QStringLiteral("ProbeN"));
        QCOMPARE(sent(f->BtGCTA), QByteArray("00102 GetChangeToolAction(\"ProbeN\")"));
        QCOMPARE(sent(f->BtAltChange), QByteArray("00103 ChangeTool(\"ProbeN\")"));
        f->EdToolF->setText(QStringLiteral(" Pro\tbe "));
        QCOMPARE(sent(f->BtFind), QByteArray("00104 FindTool(\"Pro\tbe\")"));
        QCOMPARE(f->EdToolF->text(), QStringLiteral("Pro\tbe"));
        f->EdToolF->setText(QStringLiteral("\" \""));
        QCOMPARE(sent(f->BtFind), QByteArray("00105 FindTool(\"\")"));
    }

    void copyProbeByModifiers()
    {
        TForm1 *f = fx->form();
        f->edToolC->setText(QStringLiteral("\"A 1\""));
        f->EdToolF->setText(QStringLiteral("B"));
        fx->modifiers = Qt::ControlModifier | Qt::AltModifier; // no Shift: C to F
        f->BtCopyProbe->click();
        QCOMPARE(f->EdToolF->text(), QStringLiteral("\"A 1\""));
        QCOMPARE(f->edToolC->text(), QStringLiteral("\"A 1\""));
        f->EdToolF->setText(QStringLiteral("B"));
        fx->modifiers = Qt::ShiftModifier; // F to C
        f->BtCopyProbe->click();
        QCOMPARE(f->edToolC->text(), QStringLiteral("B"));
        f->edToolC->setText(QStringLiteral("A"));
        fx->modifiers = Qt::ShiftModifier | Qt::ControlModifier; // swap, and back
        f->BtCopyProbe->click();
        QCOMPARE(f->edToolC->text(), QStringLiteral("B"));
        QCOMPARE(f->EdToolF->text(), QStringLiteral("A"));
        f->BtCopyProbe->click();
        QCOMPARE(f->edToolC->text(), QStringLiteral("A"));
        QCOMPARE(server->received.size(), 0);
    }
};

QTEST_MAIN(TestShortcuts)
#include "tst_shortcuts.moc"
