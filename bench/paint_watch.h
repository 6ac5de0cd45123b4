// Paint events of a widget, counted: the benchmarks time a step up to the first paint
// it causes.
#pragma once

#include <QEvent>
#include <QObject>

namespace kestrune::bench {

class PaintWatch : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

}  // namespace kestrune::bench
