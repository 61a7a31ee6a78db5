#pragma once
// The narrow strip left of the log's text that marks lines with a finding.
// The log only paints what it is told: whoever checks the traffic answers,
// for a line, whether it has a mark, its colour and its tooltip.

#include <QColor>
#include <QString>
#include <QWidget>
#include <functional>

class TrafficLogView;

struct LogLineMark {
    QColor colour;
    QString tip;
};

// Answers for one line; false when the line has no mark.
using LogMarkSource = std::function<bool(int line, LogLineMark *mark, bool withTip)>;

class LogGutter : public QWidget {
    Q_OBJECT
public:
    static constexpr int Width = 9;

    LogGutter(TrafficLogView *view, LogMarkSource source);
    void place();
    // The mark of one line, tooltip included; false when it has none.
    bool markAt(int line, LogLineMark *mark) const { return source(line, mark, true); }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    TrafficLogView *view;
    LogMarkSource source;
};
