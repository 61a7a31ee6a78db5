#pragma once
// The log's find bar: a small row below the log's text, opened with Ctrl+F.
// Searches as the text is typed; Enter or F3 goes to the next match,
// Shift+Enter or Shift+F3 to the previous one, Esc closes the bar. The
// current match becomes the log's text-cursor line.

#include "log/logsearch.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPainter;
class QToolButton;
class TrafficLogView;

class FindBar : public QWidget {
    Q_OBJECT
public:
    explicit FindBar(TrafficLogView *view);

    using Direction = LogSearch::Direction;
    static constexpr Direction Forward = LogSearch::Forward;
    static constexpr Direction Backward = LogSearch::Backward;

    // Shows the bar with the focus in its text field.
    void open();
    // Hides the bar; the log gets the focus back.
    void close();
    // Next or previous match; opens the bar first when it is closed.
    void step(Direction direction);

    QLineEdit *textField() const { return edit; }
    QCheckBox *matchCaseBox() const { return matchCase; }
    // "n of m", "No matches", ...
    QString status() const;
    const LogSearch &search() const { return finder; }

    // Paints the matches of one line over its text, which starts at `origin`.
    void paintMatches(QPainter &p, int line, const QByteArray &bytes, QPoint origin, int lineHeight) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void restart();
    void searchEnded();
    void showStatus();
    void place();
    void scrollTo(const LogMatch &m);

    TrafficLogView *view;
    LogSearch finder;
    LogMatch origin; // where the search starts from as the text changes
    QLineEdit *edit;
    QCheckBox *matchCase;
    QToolButton *previousButton;
    QToolButton *nextButton;
    QToolButton *closeButton;
    QLabel *statusLabel;
};
