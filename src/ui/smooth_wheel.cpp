#include "ui/smooth_wheel.h"

#include <QAbstractScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace kestrune::ui {

namespace {
// Quadratic ease-in-out of t in [0, 1].
double Ease(double t) { return t < 0.5 ? 2 * t * t : 1 - 2 * (1 - t) * (1 - t); }
}  // namespace

void WheelGlide::Notch(bool up) {
    double speed = running() && total_ > 0 ? speed_ * Ease(double(remaining_) / total_) : 0;
    if (up) speed += speed_ < 0 ? kAgainst : kAlong;
    else speed -= speed_ > 0 ? kAgainst : kAlong;
    speed_ = std::clamp<double>(speed, -kMaxSpeed, kMaxSpeed);
    total_ = remaining_ = 4 * static_cast<int>(std::sqrt(std::abs(speed_)));
}

int WheelGlide::NextStep(bool atTop, bool atBottom) {
    if (remaining_ == 0) return 0;
    --remaining_;
    const int step = static_cast<int>(speed_ * Ease(double(remaining_) / total_));
    if (step == 0 || (step > 0 && atTop) || (step < 0 && atBottom)) {
        Stop();
        return 0;
    }
    return step;
}

SmoothWheelScroll::SmoothWheelScroll(QAbstractScrollArea* area) : QObject(area), area_(area) {
    timer_.setInterval(50);
    connect(&timer_, &QTimer::timeout, this, &SmoothWheelScroll::Step);
    area->viewport()->installEventFilter(this);
}

bool SmoothWheelScroll::eventFilter(QObject*, QEvent* event) {
    if (event->type() != QEvent::Wheel) return false;
    const auto* wheel = static_cast<QWheelEvent*>(event);
    const int notches = wheel->angleDelta().y() / 120;
    // A touchpad's fine steps (and sideways scrolling) keep the usual behaviour.
    if (notches == 0 || wheel->angleDelta().x() != 0) return false;
    for (int i = 0; i < std::abs(notches); ++i) glide_.Notch(notches > 0);
    if (!timer_.isActive()) timer_.start();
    return true;
}

void SmoothWheelScroll::Step() {
    QScrollBar* bar = area_->verticalScrollBar();
    const int step = glide_.NextStep(bar->value() == bar->minimum(), bar->value() == bar->maximum());
    if (step == 0) {
        timer_.stop();
        return;
    }
    bar->setValue(bar->value() - step);
}

}  // namespace kestrune::ui
