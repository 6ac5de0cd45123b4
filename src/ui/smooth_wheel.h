// Wheel scrolling that glides: each notch adds speed, the speed eases out over a few
// timer steps, and a notch against the motion brakes harder than one along it speeds up.
#pragma once

#include <QObject>
#include <QTimer>

class QAbstractScrollArea;

namespace kestrune::ui {

// The glide without a widget: speed in pixels per step, positive towards the top.
class WheelGlide {
public:
    static constexpr int kAlong = 10, kAgainst = 16, kMaxSpeed = 100;

    // One notch up (towards the top) or down.
    void Notch(bool up);
    // The next step in pixels (0 when the glide is over); atTop / atBottom stop it there.
    int NextStep(bool atTop, bool atBottom);
    bool running() const { return remaining_ > 0; }
    double speed() const { return speed_; }
    void Stop() { speed_ = 0, total_ = remaining_ = 0; }

private:
    double speed_ = 0;
    int total_ = 0, remaining_ = 0;
};

// Gives area's vertical scrolling the glide (wheel events on its viewport).
class SmoothWheelScroll : public QObject {
public:
    explicit SmoothWheelScroll(QAbstractScrollArea* area);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Step();
    QAbstractScrollArea* area_;
    WheelGlide glide_;
    QTimer timer_;
};

}  // namespace kestrune::ui
