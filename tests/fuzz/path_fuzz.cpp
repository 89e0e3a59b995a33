// Arbitrary input bytes, commands and table changes through the real engine: its inbox,
// its command queue and the message path. Whatever arrives, only well-formed MIDI may
// leave, system messages and SysEx keep their order, and no note the path started is left
// sounding once it releases them.
#include "core/midi/message_path.h"
#include "core/midi/realtime_engine.h"
#include "support/direct_midi.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

using namespace velomire;

namespace {

[[noreturn]] void Fail(const char* what, int line) {
    std::fprintf(stderr, "path_fuzz.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}
#define FUZZ_CHECK(cond) ((cond) ? void() : Fail(#cond, __LINE__))

using Message = std::vector<std::uint8_t>;

// Keeps everything the output is sent.
struct Record {
    std::vector<Message> sent;
    void operator()(const std::uint8_t* data, std::size_t size) {
        sent.emplace_back(data, data + size);
    }
};
using RecordingMidiSystem = DirectMidiSystem<Record>;

constexpr std::uint8_t kSysEx = 0xF0;
constexpr std::uint8_t kActiveSensing = 0xFE; // dropped at the engine's input
constexpr std::uint8_t kSystemReset = 0xFF;

// Follows what leaves: system messages and SysEx against what came in, and which notes the
// instrument on the output is sounding.
class OutputChecker {
public:
    // A device event may hold several messages and a SysEx may span events; the input
    // splits them as SplitMidiBytes says (it has its own tests), and each system message
    // or complete SysEx must then leave unchanged.
    void Injected(const Message& raw) {
        struct Expect {
            OutputChecker& c;
            void Message(const std::uint8_t* p, std::size_t n) {
                if (p[0] >= kSysEx && p[0] != kActiveSensing)
                    c.expected_.push_back({std::vector<std::uint8_t>(p, p + n), true});
            }
            void SysExBytes(const std::uint8_t* p, std::size_t n) {
                c.sysex_.insert(c.sysex_.end(), p, p + n);
            }
            void SysExEnd() { c.expected_.push_back({std::exchange(c.sysex_, {}), true}); }
            void SysExDropped() { c.sysex_.clear(); }
        } expect{*this};
        SplitMidiBytes(split_, raw.data(), raw.size(), expect);
    }
    // A command runs at the next pump, ahead of the input still waiting for it.
    void Commanded(const Message& first) { expected_.push_front({first, true}); }
    bool AllLeft() const { return expected_.empty(); }

    void CheckNew(const std::vector<Message>& sent) {
        for (; checked_ < sent.size(); ++checked_)
            CheckOne(sent[checked_]);
    }
    void CheckNothingSounds() const {
        for (const auto& channel : sounding_)
            for (const bool on : channel)
                FUZZ_CHECK(!on);
    }

private:
    struct Expected {
        Message bytes;
        bool exact;
    };

    void CheckOne(const Message& out) {
        FUZZ_CHECK(!out.empty());
        if (out[0] >= kSysEx) {
            FUZZ_CHECK(!expected_.empty());
            const Expected e = expected_.front();
            expected_.pop_front();
            FUZZ_CHECK(out[0] == e.bytes[0]);
            FUZZ_CHECK(!e.exact || out == e.bytes);
            if (out[0] == kSysEx)
                return;
        }
        FUZZ_CHECK(out[0] & 0x80);
        FUZZ_CHECK(out.size() == static_cast<std::size_t>(ShortMessageLength(out[0])));
        for (std::size_t i = 1; i < out.size(); ++i)
            FUZZ_CHECK(out[i] < 0x80);
        const int kind = out[0] & 0xF0;
        if (kind == 0x80 || kind == 0x90)
            sounding_[out[0] & 0x0F][out[1]] = kind == 0x90 && out[2] > 0;
    }

    std::deque<Expected> expected_;
    MidiSplitState split_;
    Message sysex_;
    std::size_t checked_ = 0;
    std::array<std::array<bool, 128>, 16> sounding_{};
};

double AnyExp(FuzzedDataProvider& in) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr std::array<double, 10> kOdd{std::numeric_limits<double>::quiet_NaN(),
                                          kInf,
                                          -kInf,
                                          0.0,
                                          -0.0,
                                          -1.0,
                                          std::numeric_limits<double>::denorm_min(),
                                          1e-300,
                                          1e300,
                                          std::numeric_limits<double>::max()};
    const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, kOdd.size());
    return pick < kOdd.size() ? kOdd[pick]
                              : std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
}

PathTables StartupTables() {
    PathTables t;
    for (int k = kLowestKey; k <= kHighestKey; ++k)
        SetKeyStartupValues(t.notes[static_cast<std::size_t>(k)], k);
    TransposeOutnotes(t.notes, 0);
    RemapChannels(t.channels, false);
    return t;
}

// One engine for the whole run: a fresh one per input costs more than the input itself
// (its inbox and SysEx room are megabytes). Every input starts from the same state, see
// Rig::Reset.
struct Rig {
    RealtimeEngine engine;
    RecordingMidiSystem midi;
    PathTables tables;

    Rig() {
        midi.Attach(&engine);
        FUZZ_CHECK(midi.OpenOutput(RecordingMidiSystem::kOut));
        FUZZ_CHECK(midi.OpenInput(RecordingMidiSystem::kIn));
    }
    // The tables as a fresh session has them; the inbox, the commands and the sounding
    // notes were emptied at the end of the previous input, and reopened, the input forgets
    // an unfinished SysEx of it.
    void Reset() {
        FUZZ_CHECK(engine.Sounding() == 0);
        FUZZ_CHECK(midi.OpenInput(RecordingMidiSystem::kIn));
        tables = StartupTables();
        engine.Publish(tables);
        midi.onSend.sent.clear();
    }
    void Finish() {
        midi.Kick();
        FUZZ_CHECK(engine.Post(RealtimeEngine::Command::ReleaseAll) != 0);
        midi.Kick();
        engine.DrainReadouts([](const Readout&) {});
    }
};

Rig* g_rig = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static Rig rig;
    g_rig = &rig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Rig& rig = *g_rig;
    rig.Reset();
    RecordingMidiSystem& midi = rig.midi;
    RealtimeEngine& engine = rig.engine;

    OutputChecker checker;
    bool waiting = false; // input not yet pumped: it plays after any command
    const auto input = [&](const Message& m) {
        checker.Injected(m);
        engine.Input(m, 0);
        waiting = true;
    };
    const auto pump = [&] {
        midi.Kick();
        waiting = false;
    };
    // Each command is run at once, so the queue never fills and never refuses one.
    const auto command = [&](RealtimeEngine::Command c, const Message& bytes) {
        const bool quiet = !waiting;
        FUZZ_CHECK(engine.Post(c, bytes) != 0);
        if (c == RealtimeEngine::Command::Panic)
            checker.Commanded({kSystemReset});
        else if (!bytes.empty() && bytes[0] >= kSysEx)
            checker.Commanded(bytes);
        pump();
        checker.CheckNew(midi.onSend.sent);
        if (c != RealtimeEngine::Command::Send && quiet) {
            checker.CheckNothingSounds();
            FUZZ_CHECK(engine.Sounding() == 0);
        }
    };
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 12)) {
        case 0:
        case 1:
        case 2: // what a device usually sends, and its damaged forms
            input(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 3)));
            break;
        case 3: // SysEx, and events holding several messages
            input(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(4, 300)));
            break;
        case 4: // the MIDI side runs what waits
            pump();
            break;
        case 5: // the MIDI side runs, then the window takes the lighting
            pump();
            engine.DrainReadouts([](const Readout& r) {
                FUZZ_CHECK(r.in < 128 && r.out < 128 && r.velocity < 128 && r.mapped < 128);
            });
            break;
        case 6:
            TransposeOutnotes(rig.tables.notes,
                              in.ConsumeIntegralInRange(-kTransposeRange, kTransposeRange));
            engine.Publish(rig.tables);
            break;
        case 7:
            if (in.ConsumeBool())
                RemapChannels(rig.tables.channels, in.ConsumeBool());
            else
                rig.tables.channels[in.ConsumeIntegralInRange<std::size_t>(0, 15)] =
                    in.ConsumeIntegralInRange<std::uint8_t>(0, 15);
            engine.Publish(rig.tables);
            break;
        case 8: { // what a loaded setting or the curve editor may leave in an entry
            NoteSetting& n = rig.tables.notes[in.ConsumeIntegralInRange<std::size_t>(0, 128)];
            n.exp = AnyExp(in);
            n.vcut = in.ConsumeIntegral<std::uint8_t>();
            n.vmax = in.ConsumeIntegral<std::uint8_t>();
            n.outnote = in.ConsumeIntegralInRange<std::uint8_t>(0, 127);
            engine.Publish(rig.tables);
            break;
        }
        case 9:
            command(RealtimeEngine::Command::Panic, {});
            break;
        case 10:
            command(RealtimeEngine::Command::ReleaseAll, {});
            break;
        case 11: { // what the window sends: taken only whole, and then unchanged
            const Message m =
                in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 4));
            bool whole = !m.empty() && static_cast<int>(m.size()) == ShortMessageLength(m[0]);
            for (std::size_t i = 1; i < m.size(); ++i)
                whole = whole && m[i] < 0x80;
            if (!whole)
                FUZZ_CHECK(engine.Post(RealtimeEngine::Command::Send, m) == 0);
            else if ((m[0] & 0xE0) != 0x80) // no notes: the path would not know to end them
                command(RealtimeEngine::Command::Send, m);
            break;
        }
        case 12: // a device's thread: its event, run at once
            input(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 6)));
            pump();
            break;
        }
        checker.CheckNew(midi.onSend.sent);
        FUZZ_CHECK(engine.Sounding() >= 0 && engine.Sounding() <= 16 * 128);
    }
    rig.Finish();
    checker.CheckNew(midi.onSend.sent);
    checker.CheckNothingSounds();
    FUZZ_CHECK(checker.AllLeft());
    return 0;
}
