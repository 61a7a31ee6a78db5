// Line kinds of the traffic log and the colours they are painted in.

#include "log/logcolours.h"
#include "log/logview.h"

#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <memory>

namespace {
LogLineKind Kind(const char *line)
{
    return ClassifyLogLine(line, qsizetype(qstrlen(line)));
}

struct Palette {
    const char *name;
    QColor base;
    QColor text;
};

// Qt's Fusion palettes, light and dark (the dark one as Qt derives it: a
// window colour of 50, 50, 50 and the base 40% darker).
QList<Palette> Palettes()
{
    std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    const QPalette light = fusion->standardPalette();
    return {{"light", light.color(QPalette::Base), light.color(QPalette::Text)},
            {"dark", QColor(50, 50, 50).darker(140), QColor(240, 240, 240)},
            {"dark desktop", QColor(35, 38, 41), QColor(252, 252, 252)}};
}

const QColor Frozen(192, 220, 192);

const LogLineKind AllKinds[] = {LogLineKind::Plain,       LogLineKind::Data,     LogLineKind::Quiet,
                                LogLineKind::ServerError, LogLineKind::Operator, LogLineKind::RelayClient,
                                LogLineKind::Program,     LogLineKind::Event};
} // namespace

class TestLogColours : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void kindsWithAndWithoutTimeStamp()
    {
        const struct {
            const char *line;
            LogLineKind kind;
        } cases[] = {
            {"", LogLineKind::Plain},
            {"12.30.05:123  >>> 00100 EnableUser()", LogLineKind::Operator},
            {">>> 00100 EnableUser()", LogLineKind::Operator},
            {"12.30.05.123  >>> 00100 Home()", LogLineKind::Operator}, // a locale's '.' separator
            {"12.30.05:123  <<< 00100 &", LogLineKind::Quiet},
            {"<$< 00100 %", LogLineKind::Quiet},
            {"12.30.05:123  <<< 00105 # \"Probe1\"", LogLineKind::Data},
            {"<$< E0000 # KeyPress(\"F1\")", LogLineKind::Data},
            {"12.30.05:123  <<< 00105 ! Error(3, 0, \"Home\", \"Machine not homed\")",
             LogLineKind::ServerError},
            {"<$< E0000 ! Error(2, 0, \"\", \"Emergency\")", LogLineKind::ServerError},
            {"<<< 00105 !", LogLineKind::ServerError},
            {"<<< 00105 !x", LogLineKind::Data}, // no reply type of its own
            {"<<< 00105  ! two blanks", LogLineKind::Data},
            {"12.30.05:123  >$> 00007 Get(X())", LogLineKind::RelayClient},
            {"12.30.05:123  <F< 00007 # X(1)", LogLineKind::Program},
            {"12.30.05:123  <F<00007 %", LogLineKind::Program},
            {">R>00042 GoTo(X(1))", LogLineKind::Program},
            {"---------- Connected  08.Nov.2013 - 12.30.05.123", LogLineKind::Event},
            {"---------- Client disconnected to our server  08.Nov.2013 - 12.30.05.123", LogLineKind::Event},
            {"12.30.05:123  >$> ---------- timeout", LogLineKind::Event},
            {"12.30.05:123 >>> one blank only", LogLineKind::Plain},
            {"1x.30.05:123  >>> not a stamp", LogLineKind::Plain},
            {"--------- nine dashes", LogLineKind::Plain},
            {"<<<00100 &", LogLineKind::Plain},
        };
        for (const auto &c : cases)
            QVERIFY2(Kind(c.line) == c.kind, c.line);
        // Bytes beyond ASCII and control bytes don't confuse it.
        const QByteArray odd = QByteArray("<<< 00001 ! \xff\x01\x80") + QByteArray(1, '\0');
        QCOMPARE(ClassifyLogLine(odd.constData(), odd.size()), LogLineKind::ServerError);
    }

    void contrastOfEveryColourOnEveryBackground()
    {
        QCOMPARE(LogColours::contrast(Qt::black, Qt::white), 21.0);
        QVERIFY(qAbs(LogColours::contrast(QColor(118, 118, 118), Qt::white) - 4.54) < 0.01);

        for (const Palette &palette : Palettes()) {
            for (const QColor &background : {palette.base, Frozen}) {
                const LogColours colours(background, palette.text);
                const QByteArray where = QByteArray(palette.name) + (background == Frozen ? " frozen" : "");
                for (LogLineKind kind : AllKinds) {
                    const QColor c = colours.text(kind);
                    const double onBackground = LogColours::contrast(c, background);
                    QVERIFY2(onBackground >= LogColours::MinContrast,
                             where + " kind " + QByteArray::number(int(kind)) + ": "
                                 + QByteArray::number(onBackground));
                    if (colours.hasBand(kind)) {
                        const double onBand = LogColours::contrast(c, colours.band(kind));
                        QVERIFY2(onBand >= LogColours::MinContrast,
                                 where + ": band " + QByteArray::number(onBand));
                        QVERIFY(colours.band(kind) != background); // visible as a band
                    }
                }
                // The kinds look different from data lines and from each other.
                const LogLineKind marked[] = {LogLineKind::Quiet,    LogLineKind::ServerError,
                                              LogLineKind::Operator, LogLineKind::RelayClient,
                                              LogLineKind::Program,  LogLineKind::Event};
                for (LogLineKind a : marked) {
                    QVERIFY(colours.text(a) != colours.text(LogLineKind::Data));
                    for (LogLineKind b : marked)
                        QVERIFY(a == b || colours.text(a) != colours.text(b));
                }
                // Acknowledges and completions are quieter than data.
                QVERIFY(LogColours::contrast(colours.text(LogLineKind::Quiet), background)
                        < LogColours::contrast(colours.text(LogLineKind::Data), background));
            }
        }
        // Find matches: dark text on their own backgrounds.
        QVERIFY(LogColours::contrast(LogColours::matchText(), LogColours::matchBackground()) >= 4.5);
        QVERIFY(LogColours::contrast(LogColours::matchText(), LogColours::currentMatchBackground()) >= 4.5);
    }

    void frozenOnDarkPaletteStaysReadable()
    {
        // Light default text on the money green would be unreadable.
        const LogColours colours(Frozen, QColor(240, 240, 240));
        QVERIFY(LogColours::contrast(colours.text(LogLineKind::Data), Frozen) >= 4.5);
        // On the normal background the palette's text colour is kept.
        QCOMPARE(LogColours(Qt::white, QColor(20, 20, 20)).text(LogLineKind::Data), QColor(20, 20, 20));
    }

    void paintsBandsWithoutChangingTheLines()
    {
        TrafficLogView view;
        view.resize(500, 200);
        const QString faked = QStringLiteral("12.30.05:123  <F< 00007 # X(1)");
        view.appendLine(faked);
        view.appendLine(QStringLiteral("12.30.05:123  <<< 00007 # X(1)"));
        view.flushPending();
        QCOMPARE(view.line(1), faked);
        const QImage image = view.viewport()->grab().toImage();
        const LogColours colours(view.palette().color(QPalette::Base), view.palette().color(QPalette::Text));
        const int mid = view.lineHeight() / 2 + TrafficLogView::TextMargin;
        const int right = image.width() - 4;
        QCOMPARE(image.pixelColor(right, mid + 1 * view.lineHeight()).rgb(),
                 colours.band(LogLineKind::Program).rgb());
        QCOMPARE(image.pixelColor(right, mid + 2 * view.lineHeight()).rgb(),
                 view.palette().color(QPalette::Base).rgb());
    }
};

QTEST_MAIN(TestLogColours)
#include "tst_logcolours.moc"
