// One step of a curve drag as the user feels it: the edit, the redraw of the curve
// (500 evaluations into the retained image) and the repaint of the view.
#include "silent_boxes.h"
#include "support/widget_events.h"
#include "ui/main_window.h"
#include "ui_main_window.h"

#include <QApplication>

#include <benchmark/benchmark.h>

using namespace velomire;
using velomire::bench::SilentBoxes;

namespace {

// No MIDI system: a drag step neither sends nor waits for anything MIDI.
struct Window {
    NoMidiSystem midi;
    SilentBoxes boxes;
    MainWindow form{midi, boxes};
    Window() {
        form.Start();
        form.show();
        QApplication::processEvents();
    }
};

void BM_DragStep(benchmark::State& state) {
    Window w;
    CurveView* view = w.form.ui().curveView;
    const double width = view->ScaleWidth();
    const double height = view->ScaleHeight();
    SendMouse(view, QEvent::MouseButtonPress, width * 0.5, height * 0.6);
    int step = 0;
    for (auto _ : state) {
        // Sweep through the view as a hand would.
        const double f = 0.1 + 0.8 * (step++ % 100) / 100.0;
        SendMouse(view, QEvent::MouseMove, width * f, height * (1.0 - f * 0.9));
        view->repaint();
    }
    SendMouse(view, QEvent::MouseButtonRelease, 0, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DragStep)->Unit(benchmark::kMicrosecond);

void BM_DrawCurveOnly(benchmark::State& state) {
    Window w;
    for (auto _ : state)
        w.form.ui().curveView->SetCurve(w.form.session().active());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DrawCurveOnly)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
