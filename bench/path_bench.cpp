// Cost per message on the signal path, without a MIDI system: what Velomire itself adds.
// Fails when the path allocated: it runs on the MIDI system's real-time thread.
#include "core/midi/message_path.h"
#include "core/midi/realtime_engine.h"
#include "support/direct_midi.h"

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

using namespace velomire;

namespace {

std::atomic<std::uint64_t> g_allocations{0};
std::atomic<bool> g_counting{false};
std::uint64_t g_pathAllocations = 0;

void* Allocate(std::size_t n, std::size_t align) {
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    n = n ? n : 1;
    void* p = align > alignof(std::max_align_t)
                  ? std::aligned_alloc(align, (n + align - 1) / align * align)
                  : std::malloc(n);
    if (!p)
        throw std::bad_alloc();
    return p;
}

} // namespace

// Every allocation while a benchmark's timed loop runs is counted.
void* operator new(std::size_t n) {
    return Allocate(n, 0);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return Allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace {

// Counts allocations over a timed loop and reports them per message.
class AllocationCount {
public:
    AllocationCount() {
        g_allocations = 0;
        g_counting = true;
    }
    void Report(benchmark::State& state, std::uint64_t messages) {
        g_counting = false;
        const std::uint64_t n = g_allocations.load();
        g_pathAllocations += n;
        state.counters["allocs_per_msg"] =
            messages ? static_cast<double>(n) / static_cast<double>(messages) : 0.0;
    }
};

PathTables BenchTables() {
    PathTables t;
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        SetKeyStartupValues(t.notes[static_cast<std::size_t>(k)], k);
        t.notes[static_cast<std::size_t>(k)].exp = 1.7; // a real curve, not identity
    }
    TransposeOutnotes(t.notes, 2);
    RemapChannels(t.channels, false);
    return t;
}

struct Rig {
    RealtimeEngine engine;
    DirectMidiSystem<CountBytes> midi;
    Rig() {
        engine.Publish(BenchTables());
        midi.Attach(&engine);
        midi.OpenOutput(midi.kOut);
        midi.OpenInput(midi.kIn);
    }
    ~Rig() {
        midi.CloseInput();
        midi.Attach(nullptr);
    }
};

// A realistic mix: note-on, controller, note-off.
constexpr std::array<std::array<std::uint8_t, 3>, 4> kMix{
    {{0x90, 60, 100}, {0xB0, 64, 127}, {0x80, 60, 40}, {0x91, 72, 55}}};

// The whole path: a device's events into the engine (split into the inbox), then one pump
// (map and send) for the batch, as a JACK period or an ALSA callback runs it.
void BM_InputAndPump(benchmark::State& state) {
    Rig rig;
    const auto batch = static_cast<std::size_t>(state.range(0));
    std::uint64_t messages = 0;
    AllocationCount allocations;
    for (auto _ : state) {
        for (std::size_t i = 0; i < batch; ++i)
            rig.engine.Input(kMix[i % kMix.size()], static_cast<std::uint32_t>(i));
        rig.midi.Kick();
        messages += batch;
    }
    allocations.Report(state, messages);
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    benchmark::DoNotOptimize(rig.midi.onSend.bytes);
}
BENCHMARK(BM_InputAndPump)->Arg(1)->Arg(64)->Arg(1024);

// Mapping and sending alone.
void BM_Process(benchmark::State& state) {
    struct Count final : MidiSender {
        std::uint64_t bytes = 0;
        bool Send(std::span<const std::uint8_t> m, std::uint32_t) override {
            bytes += m.size();
            return true;
        }
    } out;
    struct Unlit final : PathEvents {
        void Sounding(int, int, int, int) override {}
        void Released(int) override {}
    } events;
    const PathTables tables = BenchTables();
    MessagePath path;
    std::size_t i = 0;
    AllocationCount allocations;
    for (auto _ : state)
        path.Process(kMix[i++ % kMix.size()], 0, tables, out, events);
    allocations.Report(state, static_cast<std::uint64_t>(state.iterations()));
    state.SetItemsProcessed(state.iterations());
    benchmark::DoNotOptimize(out.bytes);
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
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_pathAllocations > 0) {
        std::fprintf(stderr, "path_bench: the path allocated %llu times\n",
                     static_cast<unsigned long long>(g_pathAllocations));
        return 1;
    }
    return 0;
}
