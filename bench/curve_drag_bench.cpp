// One step of a curve drag as the user feels it: the edit, the redraw of the curve
// (500 evaluations into the retained image) and the repaint of the view.
#include "ui/main_window.h"
#include "ui_main_window.h"

#include <QApplication>

#include <benchmark/benchmark.h>

using namespace velomire;

namespace {

class SilentBoxes final : public MessageBoxes {
public:
    void Inform(const QString&, const QString&) override {}
    bool AskYesNo(const QString&, const QString&) override { return false; }
};

// No MIDI system: a drag step neither sends nor waits for anything MIDI.
struct Window {
    NoMidiSystem midi;
    SilentBoxes boxes;
    Form_midi form{midi, boxes};
    Window() {
        form.Form_Load();
        form.show();
        QApplication::processEvents();
    }
};

void BM_DragStep(benchmark::State& state) {
    Window w;
    CurveView* view = w.form.ui().Picture1;
    const float width = static_cast<float>(view->ScaleWidth());
    const float height = static_cast<float>(view->ScaleHeight());
    w.form.Picture1_MouseDown(width * 0.5f, height * 0.6f);
    int step = 0;
    for (auto _ : state) {
        // Sweep through the view as a hand would.
        const float f = 0.1f + 0.8f * static_cast<float>(step++ % 100) / 100.0f;
        w.form.Picture1_MouseMove(width * f, height * (1.0f - f * 0.9f));
        view->repaint();
    }
    w.form.Picture1_MouseUp(0, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DragStep)->Unit(benchmark::kMicrosecond);

void BM_DrawCurveOnly(benchmark::State& state) {
    Window w;
    for (auto _ : state)
        w.form.ui().Picture1->DrawCurve(w.form.session().active());
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
