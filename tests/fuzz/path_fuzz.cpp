// Arbitrary input bytes and table changes through the real input queue and message path.
// Whatever arrives, only well-formed MIDI may leave, system messages and SysEx keep their
// order, and no note the path started is left sounding once it releases them.
#include "midi/engine.h"
#include "midi/port_selection.h"
#include "support/direct_midi.h"

#include <QCoreApplication>

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
constexpr std::uint8_t kActiveSensing = 0xFE; // dropped at the input once opened
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
    // Leaves at once, ahead of whatever still waits in the input queue.
    void Panicked() { expected_.push_front({{kSystemReset}, true}); }
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

// One engine for the whole run: a fresh one per input costs more than the input itself
// (the input queue is 256 KiB). Every input starts from the same state, see Rig::Reset.
struct Rig {
    RecordingMidiSystem midi;
    Engine engine{midi};

    Rig() {
        engine.MIDIOutput1.DeviceCount();
        engine.MIDIInput1.DeviceCount();
        FUZZ_CHECK(OpenMidiOut(engine.MIDIOutput1, kFirstOutputPosition));
        FUZZ_CHECK(OpenMidiIn(engine.MIDIInput1, kFirstInputPosition));
        FUZZ_CHECK(midi.sink != nullptr);
    }
    // The tables as startup leaves them; the queue, the wake-up and the sounding notes were
    // emptied at the end of the previous input. Reopened, the input forgets an unfinished
    // SysEx of the previous input.
    void Reset() {
        FUZZ_CHECK(engine.MIDIInput1.MessageCount() == 0 && engine.path.SoundingCount() == 0);
        FUZZ_CHECK(OpenMidiIn(engine.MIDIInput1, kFirstInputPosition));
        engine.notes = {};
        for (int k = kLowestKey; k <= kHighestKey; ++k)
            SetKeyStartupValues(engine.notes[static_cast<std::size_t>(k)], k);
        engine.path.SetTransposition(0);
        engine.path.SetRemapAll(false);
        midi.onSend.sent.clear();
    }
    void Finish() {
        engine.path.Drain(engine.MIDIInput1, engine.MIDIOutput1);
        engine.path.ReleaseSounding(engine.MIDIOutput1);
        QCoreApplication::processEvents();
    }
};

Rig* g_rig = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The input port wakes its reader through a socket notifier, which needs an application.
    static QCoreApplication app(*argc, *argv);
    static Rig rig;
    g_rig = &rig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Rig& rig = *g_rig;
    rig.Reset();
    RecordingMidiSystem& midi = rig.midi;
    Engine& engine = rig.engine;

    OutputChecker checker;
    const auto inject = [&](const Message& m) {
        checker.Injected(m);
        midi.sink->OnMidiBytes(m.data(), m.size());
    };
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 10)) {
        case 0:
        case 1:
        case 2: // what a device usually sends, and its damaged forms
            inject(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 3)));
            break;
        case 3: // SysEx, and events holding several messages
            inject(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(4, 300)));
            break;
        case 4:
            engine.path.Drain(engine.MIDIInput1, engine.MIDIOutput1);
            break;
        case 5: // the real wake-up: eventfd, notifier, MessageReceived
            QCoreApplication::processEvents();
            break;
        case 6:
            engine.path.SetTransposition(
                in.ConsumeIntegralInRange(-kTransposeRange, kTransposeRange));
            break;
        case 7:
            if (in.ConsumeBool())
                engine.path.SetRemapAll(in.ConsumeBool());
            else
                engine.ChannelMap[in.ConsumeIntegralInRange<std::size_t>(0, 15)] =
                    in.ConsumeIntegralInRange<std::uint8_t>(0, 15);
            break;
        case 8: { // what a loaded setting or the curve editor may leave in an entry
            NoteSetting& n = engine.notes[in.ConsumeIntegralInRange<std::size_t>(0, 128)];
            n.exp = AnyExp(in);
            n.vcut = in.ConsumeIntegral<std::uint8_t>();
            n.vmax = in.ConsumeIntegral<std::uint8_t>();
            n.outnote = in.ConsumeIntegralInRange<std::uint8_t>(0, 127);
            break;
        }
        case 9:
            checker.Panicked();
            engine.path.SendPanic(engine.MIDIOutput1);
            checker.CheckNew(midi.onSend.sent);
            checker.CheckNothingSounds();
            break;
        case 10:
            engine.path.ReleaseSounding(engine.MIDIOutput1);
            checker.CheckNew(midi.onSend.sent);
            checker.CheckNothingSounds();
            FUZZ_CHECK(engine.path.SoundingCount() == 0);
            break;
        }
        checker.CheckNew(midi.onSend.sent);
        FUZZ_CHECK(engine.path.SoundingCount() >= 0 && engine.path.SoundingCount() <= 16 * 128);
    }
    rig.Finish();
    checker.CheckNew(midi.onSend.sent);
    checker.CheckNothingSounds();
    FUZZ_CHECK(checker.AllLeft());
    return 0;
}
