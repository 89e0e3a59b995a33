// Cost per message on the signal path, without a MIDI system: what Velomire itself adds.
#include "midi/engine.h"
#include "midi/port_selection.h"
#include "support/direct_midi.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <new>

using namespace velomire;

namespace {

std::atomic<std::uint64_t> g_allocations{0};
bool g_counting = false;

} // namespace

// Counts heap allocations while a benchmark's timed loop runs.
void* operator new(std::size_t n) {
    if (g_counting)
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

struct Rig {
    DirectMidiSystem<CountBytes> midi;
    Engine engine{midi};
    Rig() {
        for (int k = kLowestKey; k <= kHighestKey; ++k) {
            SetKeyStartupValues(engine.notes[static_cast<std::size_t>(k)], k);
            engine.notes[static_cast<std::size_t>(k)].exp = 1.7; // a real curve, not identity
        }
        engine.path.SetTransposition(2);
        engine.path.SetRemapAll(false);
        engine.MIDIOutput1.DeviceCount();
        engine.MIDIInput1.DeviceCount();
        OpenMidiOut(engine.MIDIOutput1, kFirstOutputPosition);
        OpenMidiIn(engine.MIDIInput1, kFirstInputPosition);
    }
};

// A realistic mix: note-on, controller, note-off.
constexpr std::array<std::array<std::uint8_t, 3>, 4> kMix{
    {{0x90, 60, 100}, {0xB0, 64, 127}, {0x80, 60, 40}, {0x91, 72, 55}}};

// The whole path: MIDI-thread enqueue, then the UI thread's drain (map and send).
void BM_QueueAndDrain(benchmark::State& state) {
    Rig rig;
    const auto batch = static_cast<int>(state.range(0));
    std::uint64_t messages = 0;
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            const auto& m = kMix[static_cast<std::size_t>(i) % kMix.size()];
            rig.midi.sink->OnMidiBytes(m.data(), m.size());
        }
        rig.engine.path.Drain(rig.engine.MIDIInput1, rig.engine.MIDIOutput1);
        messages += static_cast<std::uint64_t>(batch);
    }
    g_counting = false;
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.counters["allocs_per_msg"] =
        static_cast<double>(g_allocations.load()) / static_cast<double>(messages);
    benchmark::DoNotOptimize(rig.midi.onSend.bytes);
}
BENCHMARK(BM_QueueAndDrain)->Arg(1)->Arg(64)->Arg(1024);

// Mapping and sending alone.
void BM_Process(benchmark::State& state) {
    Rig rig;
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& m = kMix[i++ % kMix.size()];
        rig.engine.path.Process(m[0], m[1], m[2], rig.engine.MIDIOutput1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Process);

void BM_MapVelocity(benchmark::State& state) {
    int v = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MapVelocity(v, 1.7, 10, 120));
        v = v % 127 + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapVelocity);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
