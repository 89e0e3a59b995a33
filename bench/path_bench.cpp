// Cost per message on the signal path, without a MIDI system: what Velomire itself adds.
// The engine is driven as JACK's process callback drives it: each event handed to Input
// with its frame, then one Pump that maps and sends what waits.
#include "midi/message_path.h"
#include "midi/realtime_engine.h"
#include "velocity/note_table.h"

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>

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

// Counts the bytes sent and keeps nothing: the cheapest output there is.
class CountBytes final : public MidiSender {
public:
    bool Send(std::span<const std::uint8_t> bytes, std::uint32_t) override {
        sent += bytes.size();
        return true;
    }
    std::uint64_t sent = 0;
};

class NoEvents final : public PathEvents {
public:
    void Sounding(int, int, int, int) override {}
    void Released(int) override {}
};

// Real curves, a transposition and the channel table a fresh session has.
PathTables Tables() {
    PathTables t;
    for (int n = 0; n <= 127; ++n) {
        NoteSetting& s = t.notes[static_cast<std::size_t>(n)];
        SetKeyStartupValues(s, n);
        s.exp = 1.7; // a real curve, not identity
        s.outnote = static_cast<std::uint8_t>(n + 2 <= 127 ? n + 2 : 127);
    }
    for (std::size_t c = 0; c < t.channels.size(); ++c)
        t.channels[c] = static_cast<std::uint8_t>(c);
    return t;
}

// A realistic mix: note-on, controller, note-off.
constexpr std::array<std::array<std::uint8_t, 3>, 4> kMix{
    {{0x90, 60, 100}, {0xB0, 64, 127}, {0x80, 60, 40}, {0x91, 72, 55}}};

// The whole path for one period's events: split into the inbox on input, then mapped and
// sent by the pump; the key lighting it leaves is taken as the window takes it, so the
// ring never runs full (a full ring would make the path look cheaper than it is).
void BM_QueueAndDrain(benchmark::State& state) {
    RealtimeEngine engine;
    engine.Publish(Tables());
    CountBytes out;
    const auto batch = static_cast<int>(state.range(0));
    std::uint64_t messages = 0;
    int lit = 0;
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            const auto& m = kMix[static_cast<std::size_t>(i) % kMix.size()];
            engine.Input(m, static_cast<std::uint32_t>(i % 64));
        }
        engine.Pump(out);
        engine.DrainReadouts([&](const Readout&) { ++lit; });
        messages += static_cast<std::uint64_t>(batch);
    }
    g_counting = false;
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.counters["allocs_per_msg"] =
        static_cast<double>(g_allocations.load()) / static_cast<double>(messages);
    benchmark::DoNotOptimize(out.sent);
    benchmark::DoNotOptimize(lit);
}
BENCHMARK(BM_QueueAndDrain)->Arg(1)->Arg(64)->Arg(1024);

// Mapping and sending alone.
void BM_Process(benchmark::State& state) {
    const PathTables tables = Tables();
    MessagePath path;
    CountBytes out;
    NoEvents events;
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& m = kMix[i++ % kMix.size()];
        path.Process(m, 0, tables, out, events);
    }
    state.SetItemsProcessed(state.iterations());
    benchmark::DoNotOptimize(out.sent);
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

BENCHMARK_MAIN();
