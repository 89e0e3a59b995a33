#include "jack_ui_load.h"

#include "support/widget_events.h"
#include "ui/main_window.h"
#include "ui_main_window.h"

#include <thread>

namespace velomire::bench::jackbench {

UiLoad::UiLoad(MainWindow& form) : form_(form) {
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    dragMicros_.reserve(1u << 20);
    refreshMicros_.reserve(1u << 18);
    repaintMicros_.reserve(1u << 18);
}

void UiLoad::Start() {
    started_ = Clock::now();
    timer_.start();
}

void UiLoad::Stop() {
    timer_.stop();
    SendMouse(form_.ui().curveView, QEvent::MouseButtonRelease, 0, 0);
    stopped_ = Clock::now();
}

std::string UiLoad::Describe() const {
    const double seconds = std::chrono::duration<double>(stopped_ - started_).count();
    double busy = 0;
    for (const auto* v : {&dragMicros_, &refreshMicros_})
        for (const double t : *v)
            busy += t;
    const auto times = [](const std::vector<double>& v) {
        const Percentiles p = Summarize(v);
        return "p50 " + Fixed(p.p50 / 1000.0, 2) + " / p99 " + Fixed(p.p99 / 1000.0, 2) +
               " / max " + Fixed(p.max / 1000.0, 2) + " ms";
    };
    return "UI load: " + Fixed(static_cast<double>(dragMicros_.size()) / seconds, 0) +
           " drag steps/s (" + times(dragMicros_) + "), " +
           Fixed(static_cast<double>(refreshMicros_.size()) / seconds, 0) + " refreshes/s (" +
           times(refreshMicros_) + ", of which the repaint " + times(repaintMicros_) +
           "); UI thread " + Fixed(100.0 * busy / 1e6 / seconds, 0) + "% busy with them";
}

void UiLoad::Tick() {
    auto t0 = Clock::now();
    CurveView* view = form_.ui().curveView;
    const auto w = static_cast<float>(view->ScaleWidth());
    const auto h = static_cast<float>(view->ScaleHeight());
    const int s = step_++;
    if (s % kStroke == 0) {
        SendMouse(form_.ui().curveView, QEvent::MouseButtonRelease, 0, 0);
        SendMouse(view, QEvent::MouseButtonPress, w * 0.5f, h * 0.6f);
    }
    const float f = 0.1f + 0.8f * static_cast<float>(s % kStroke) / kStroke;
    SendMouse(view, QEvent::MouseMove, w * f, h * (1.0f - 0.9f * f));
    view->repaint();
    auto t1 = Clock::now();
    dragMicros_.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    if (s % kRefreshEvery == 0) {
        form_.Refresh();
        const auto t2 = Clock::now();
        form_.ui().keyboardView->repaint();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        const auto t3 = Clock::now();
        refreshMicros_.push_back(std::chrono::duration<double, std::micro>(t3 - t1).count());
        repaintMicros_.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count());
    }
}

UiBlocker::UiBlocker(std::chrono::milliseconds block, std::chrono::milliseconds gap)
    : block_(block) {
    timer_.setInterval(gap);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

void UiBlocker::Start() {
    started_ = Clock::now();
    timer_.start();
}

void UiBlocker::Stop() {
    timer_.stop();
    stopped_ = Clock::now();
}

std::string UiBlocker::Describe() const {
    const double seconds = std::chrono::duration<double>(stopped_ - started_).count();
    const double blocked = std::chrono::duration<double>(blocked_).count();
    return "UI thread blocked " + std::to_string(count_) + " times for " +
           std::to_string(block_.count()) + " ms: " + Fixed(blocked, 1) + " s of " +
           Fixed(seconds, 1) + " s (" + Fixed(seconds > 0 ? 100.0 * blocked / seconds : 0, 0) +
           "%)";
}

void UiBlocker::Tick() {
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(block_);
    blocked_ += Clock::now() - t0;
    ++count_;
}

} // namespace velomire::bench::jackbench
