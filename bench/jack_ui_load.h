#pragma once
// Loads for the UI thread of the window in this process, to show that MIDI does not wait
// for it: one keeps it busy with real work, the other blocks it outright.
#include "bench_support.h"

#include <QTimer>

#include <chrono>
#include <string>
#include <vector>

namespace velomire {
class MainWindow;
}

namespace velomire::bench::jackbench {

// Drags the active key's curve without pause, in strokes of kStroke steps; each step is
// what one mouse move does (the edit, the curve redrawn) plus a synchronous repaint of the
// curve. Every kRefreshEvery steps the note display is refreshed as every table writer
// does, the keyboard is repainted from its image, and what the refresh asked to repaint
// (marks, labels, scroll bars) is painted at once. All on the UI thread from a
// zero-interval timer: while the load runs the thread is never idle, and a message waits
// at most for the step in progress.
class UiLoad {
public:
    static constexpr int kStroke = 100;
    static constexpr int kRefreshEvery = 8;

    explicit UiLoad(MainWindow& form);
    void Start();
    void Stop();
    std::string Describe() const;

private:
    void Tick();

    MainWindow& form_;
    QTimer timer_;
    int step_ = 0;
    std::vector<double> dragMicros_;
    std::vector<double> refreshMicros_;
    std::vector<double> repaintMicros_; // the repaint part of a refresh
    Clock::time_point started_{};
    Clock::time_point stopped_{};
};

// Blocks the UI thread outright: a timer whose callback sleeps `block` at a time, with
// `gap` for the event loop in between. A bench-only stand-in for a window that hangs (a
// slow disk, a modal system call) while music plays.
class UiBlocker {
public:
    UiBlocker(std::chrono::milliseconds block, std::chrono::milliseconds gap);
    void Start();
    void Stop();
    std::string Describe() const;

private:
    void Tick();

    std::chrono::milliseconds block_;
    QTimer timer_;
    int count_ = 0;
    Clock::duration blocked_{};
    Clock::time_point started_{};
    Clock::time_point stopped_{};
};

} // namespace velomire::bench::jackbench
