#include "sim/rewrite.h"

#include <QTest>

class TestRewrite : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rewrite_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("result");
        QTest::newRow("example") << "00042 CZPositionOnSphere(x(10),y(20),z(30),5)"
                                 << "00042 GoTo(X(10),Y(20),Z(30))";
        QTest::newRow("later letters stay") << "00001 CZPositionOnSphere(x(1),y(2),z(3),x(4),y(5),9)"
                                            << "00001 GoTo(X(1),Y(2),Z(3),x(4),y(5))";
        QTest::newRow("from the first lower-case x") << "00007 CZPositionOnSphere(X(1),Y(2),x(3),1.5)"
                                                     << "00007 GoTo(X(3))";
        QTest::newRow("missing axes") << "00003 CZPositionOnSphere(x(1),5)"
                                      << "00003 GoTo(X(1))";
        QTest::newRow("blanks around tag") << "  00008 CZPositionOnSphere(x(1), y(2), 3)  "
                                           << "00008 GoTo(X(1), Y(2))";
        QTest::newRow("no x") << "00004 CZPositionOnSphere(X(1),Y(2),5)"
                              << "00004 CZPositionOnSphere(X(1),Y(2),5)";
        QTest::newRow("no comma after x") << "00005 CZPositionOnSphere(5,x(1))"
                                          << "00005 CZPositionOnSphere(5,x(1))";
        QTest::newRow("comma right after x") << "00006 Cz(x,1)"
                                             << "00006 GoTo(X)";
    }
    void rewrite()
    {
        QFETCH(QString, line);
        QFETCH(QString, result);
        QCOMPARE(RewriteCZPositionOnSphere(line), result);
    }
};

QTEST_MAIN(TestRewrite)
#include "tst_rewrite.moc"
