#include "midi/engine.h"
#include "midi/fake_backend.h"
#include "midi/message_path.h"
#include "midi/midi_ports.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace velomire {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Lit {
    enum Kind { None, Sounding, Released } kind = None;
    int key = -1;
    int velocity = -1;
    int mapped = -1;
    friend bool operator==(const Lit&, const Lit&) = default;
};

void PrintTo(const Lit& l, std::ostream* os) {
    static const char* const names[] = {"none", "sounding", "released"};
    *os << names[l.kind] << '(' << l.key << ", " << l.velocity << ", " << l.mapped << ')';
}

Lit On(int key, int velocity, int mapped) {
    return {Lit::Sounding, key, velocity, mapped};
}
Lit Off(int key) {
    return {Lit::Released, key, -1, -1};
}
constexpr Lit kUnlit{};

class RecordingLighting final : public KeyLighting {
public:
    void MarkSounding(int key, int velocity, int mapped) override {
        marks.push_back(On(key, velocity, mapped));
    }
    void MarkReleased(int key) override { marks.push_back(Off(key)); }
    std::vector<Lit> marks;
};

// The note table as the program has it after startup: straight curves on the 88 keys,
// all-zero entries (vmax 0) elsewhere.
NoteTable StartupNotes() {
    NoteTable notes{};
    for (int n = kLowestKey; n <= kHighestKey; ++n)
        SetKeyStartupValues(notes[static_cast<std::size_t>(n)], n);
    return notes;
}

class MessagePathTest : public ::testing::Test {
protected:
    MessagePathTest() {
        sys.outputs = {"Synth"};
        out.DeviceCount();
        out.SetDeviceID(0);
        out.Action(PortAction::Open);
        path.SetTransposition(0);
        path.SetRemapAll(false);
        path.SetKeyLighting(&lights);
    }

    void Set(int transpose, bool remap) {
        path.SetTransposition(transpose);
        path.SetRemapAll(remap);
    }

    // Processes one message and returns only what it sent and lit.
    std::vector<Bytes> Run(std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
        sys.ClearSent();
        lights.marks.clear();
        path.Process(status, d1, d2, out);
        return sys.Sent();
    }

    FakeMidiSystem sys;
    MIDIOutput out{sys};
    NoteTable notes = StartupNotes();
    ChannelTable channels{};
    MessagePath path{notes, channels};
    RecordingLighting lights;
};

struct PathRow {
    const char* what;
    std::uint8_t status, d1, d2;
    int transpose;
    bool remap;
    Bytes expected;
    Lit lit;
};

// Every message on a path with nothing held: what leaves, and which key is lit.
TEST_F(MessagePathTest, EachKindLeavesReshapedAsTheTablesSay) {
    notes[60].vmax = 64; // 127 -> 64: shows whose curve was used
    notes[61].vcut = 50;
    const PathRow rows[] = {
        {"note-on: curve of the played key, lit key transposed",
         0x90,
         60,
         127,
         12,
         false,
         {0x90, 72, 64},
         On(72, 127, 64)},
        {"note-on straight curve", 0x90, 62, 100, 0, false, {0x90, 62, 100}, On(62, 100, 100)},
        {"note-on remapped", 0x93, 62, 100, 2, true, {0x90, 64, 100}, On(64, 100, 100)},
        {"note-on channel kept", 0x9C, 62, 100, -2, false, {0x9C, 60, 100}, On(60, 100, 100)},
        {"note-on below cut-off still sent", 0x90, 61, 49, 0, false, {0x90, 61, 0}, On(61, 49, 0)},
        {"note-on off the keyboard is silent", 0x90, 5, 100, 0, false, {0x90, 5, 0}, On(5, 100, 0)},
        {"note-on velocity 0 is a release", 0x91, 62, 0, 2, false, {0x91, 64, 0}, Off(64)},
        {"note-off keeps release velocity", 0x85, 62, 33, 2, true, {0x80, 64, 33}, Off(64)},
        {"note-off clamps at 127", 0x80, 120, 0, 12, false, {0x80, 127, 0}, Off(127)},
        {"note-off 115 clamps at 127", 0x80, 115, 0, 12, false, {0x80, 127, 0}, Off(127)},
        {"note-off clamps at 0", 0x80, 5, 0, -12, false, {0x80, 0, 0}, Off(0)},
        {"poly pressure transposed", 0xA2, 62, 50, 2, false, {0xA2, 64, 50}, kUnlit},
        {"poly pressure remapped", 0xAF, 62, 50, -2, true, {0xA0, 60, 50}, kUnlit},
        {"sustain pedal keeps its number", 0xB0, 64, 127, 2, false, {0xB0, 64, 127}, kUnlit},
        {"controller remapped", 0xB5, 7, 100, -12, true, {0xB0, 7, 100}, kUnlit},
        {"program change", 0xC3, 5, 0, 2, false, {0xC3, 5}, kUnlit},
        {"program change remapped", 0xC3, 5, 0, 2, true, {0xC0, 5}, kUnlit},
        {"channel pressure", 0xD1, 70, 0, 2, false, {0xD1, 70}, kUnlit},
        {"pitch bend", 0xE4, 0x10, 0x40, 12, true, {0xE0, 0x10, 0x40}, kUnlit},
        {"clock", 0xF8, 0, 0, 2, true, {0xF8}, kUnlit},
        {"start", 0xFA, 0, 0, 2, true, {0xFA}, kUnlit},
        {"stop", 0xFC, 0, 0, 2, true, {0xFC}, kUnlit},
        {"system reset", 0xFF, 0, 0, 2, true, {0xFF}, kUnlit},
        {"tune request", 0xF6, 0, 0, 2, true, {0xF6}, kUnlit},
        {"song position", 0xF2, 0x10, 0x20, 2, true, {0xF2, 0x10, 0x20}, kUnlit},
        {"quarter frame", 0xF1, 0x35, 0, 2, true, {0xF1, 0x35}, kUnlit},
        {"song select", 0xF3, 5, 0, 2, true, {0xF3, 5}, kUnlit},
    };
    for (const PathRow& r : rows) {
        SCOPED_TRACE(r.what);
        MessagePath fresh(notes, channels);
        fresh.SetKeyLighting(&lights);
        fresh.SetTransposition(r.transpose);
        fresh.SetRemapAll(r.remap);
        sys.ClearSent();
        lights.marks.clear();
        fresh.Process(r.status, r.d1, r.d2, out);
        const auto sent = sys.Sent();
        EXPECT_EQ(sent, std::vector<Bytes>{r.expected}) << Hex(sent);
        const std::vector<Lit> lit =
            r.lit.kind == Lit::None ? std::vector<Lit>{} : std::vector<Lit>{r.lit};
        EXPECT_EQ(lights.marks, lit);
    }
}

TEST_F(MessagePathTest, TranspositionRewritesOnlyNotesUpTo127) {
    notes[128].outnote = 77;
    for (int offset = -12; offset <= 12; ++offset) {
        path.SetTransposition(offset);
        for (int n = 0; n <= 127; ++n)
            ASSERT_EQ(notes[static_cast<std::size_t>(n)].outnote, std::clamp(n + offset, 0, 127))
                << "offset " << offset << " note " << n;
        EXPECT_EQ(notes[128].outnote, 77);
    }
}

TEST_F(MessagePathTest, RemapAllLeavesEntry16) {
    channels[16] = 9;
    path.SetRemapAll(true);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(channels[static_cast<std::size_t>(c)], 0) << c;
    path.SetRemapAll(false);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(channels[static_cast<std::size_t>(c)], c) << c;
    EXPECT_EQ(channels[16], 9);
}

struct Step {
    int transpose;
    bool remap;
    std::uint8_t status, d1, d2;
};

struct HeldRow {
    const char* what;
    std::vector<Step> steps; // the last one is checked
    Bytes lastSent;
    Lit lastLit;
    int soundingAfter;
};

// A note's end (and pressure on it) goes where its start went, however the tables changed.
TEST_F(MessagePathTest, HeldNotesEndWhereTheyStarted) {
    const HeldRow rows[] = {
        {"note-off after transposing",
         {{0, false, 0x90, 60, 100}, {2, false, 0x80, 60, 0}},
         {0x80, 60, 0},
         Off(60),
         0},
        {"note-on velocity 0 after transposing",
         {{0, false, 0x90, 60, 100}, {5, false, 0x90, 60, 0}},
         {0x90, 60, 0},
         Off(60),
         0},
        {"note-off after remapping",
         {{0, false, 0x93, 60, 100}, {0, true, 0x83, 60, 64}},
         {0x83, 60, 64},
         Off(60),
         0},
        {"note-off after remapping undone",
         {{0, true, 0x93, 60, 100}, {0, false, 0x83, 60, 64}},
         {0x80, 60, 64},
         Off(60),
         0},
        {"both changed",
         {{-12, true, 0x9A, 70, 1}, {12, false, 0x8A, 70, 9}},
         {0x80, 58, 9},
         Off(58),
         0},
        {"pressure on a held note",
         {{0, false, 0x92, 60, 100}, {2, true, 0xA2, 60, 30}},
         {0xA2, 60, 30},
         kUnlit,
         1},
        {"pressure after release uses the tables",
         {{0, false, 0x92, 60, 100}, {0, false, 0x82, 60, 0}, {2, true, 0xA2, 60, 30}},
         {0xA0, 62, 30},
         kUnlit,
         0},
        {"second note-off uses the tables",
         {{0, false, 0x90, 60, 100}, {2, false, 0x80, 60, 0}, {2, false, 0x80, 60, 0}},
         {0x80, 62, 0},
         Off(62),
         0},
        {"memory is per note",
         {{0, false, 0x90, 60, 100}, {2, false, 0x80, 61, 0}},
         {0x80, 63, 0},
         Off(63),
         1},
        {"memory is per channel: first",
         {{0, false, 0x90, 60, 100}, {2, false, 0x91, 60, 100}, {4, false, 0x80, 60, 0}},
         {0x80, 60, 0},
         Off(60),
         1},
        {"memory is per channel: second",
         {{0, false, 0x90, 60, 100}, {2, false, 0x91, 60, 100}, {4, false, 0x81, 60, 0}},
         {0x81, 62, 0},
         Off(62),
         1},
        {"a controller numbered like the note leaves it held",
         {{0, false, 0x90, 60, 100}, {2, false, 0xB0, 60, 0}, {2, false, 0x80, 60, 0}},
         {0x80, 60, 0},
         Off(60),
         0},
        {"pressure does not end the note",
         {{0, false, 0x90, 60, 100}, {2, false, 0xA0, 60, 0}, {4, false, 0x80, 60, 0}},
         {0x80, 60, 0},
         Off(60),
         0},
    };
    for (const HeldRow& r : rows) {
        SCOPED_TRACE(r.what);
        MessagePath fresh(notes, channels);
        fresh.SetKeyLighting(&lights);
        for (const Step& s : r.steps) {
            fresh.SetTransposition(s.transpose);
            fresh.SetRemapAll(s.remap);
            sys.ClearSent();
            lights.marks.clear();
            fresh.Process(s.status, s.d1, s.d2, out);
        }
        const auto sent = sys.Sent();
        EXPECT_EQ(sent, std::vector<Bytes>{r.lastSent}) << Hex(sent);
        const std::vector<Lit> lit =
            r.lastLit.kind == Lit::None ? std::vector<Lit>{} : std::vector<Lit>{r.lastLit};
        EXPECT_EQ(lights.marks, lit);
        EXPECT_EQ(fresh.SoundingCount(), r.soundingAfter);
    }
}

struct RestrikeRow {
    const char* what;
    std::vector<Step> steps; // the last one is checked
    std::vector<Bytes> lastSent;
    std::vector<Lit> lastLit;
    int soundingAfter;
};

// A key struck again with no note-off between: if the tables moved its target, the first
// sound is ended where it went out, or nothing would ever end it.
TEST_F(MessagePathTest, RestrikeAfterTablesChangedEndsTheFirstSound) {
    const RestrikeRow rows[] = {
        {"transposed in between",
         {{0, false, 0x90, 60, 100}, {12, false, 0x90, 60, 90}},
         {{0x80, 60, 64}, {0x90, 72, 90}},
         {Off(60), On(72, 90, 90)},
         1},
        {"remapped in between",
         {{0, false, 0x93, 60, 100}, {0, true, 0x93, 60, 90}},
         {{0x83, 60, 64}, {0x90, 60, 90}},
         {Off(60), On(60, 90, 90)},
         1},
        {"same target: the instrument retriggers by itself",
         {{2, false, 0x90, 60, 100}, {2, false, 0x90, 60, 90}},
         {{0x90, 62, 90}},
         {On(62, 90, 90)},
         1},
        {"the later note-off ends the second sound",
         {{0, false, 0x90, 60, 100}, {12, false, 0x90, 60, 90}, {0, false, 0x80, 60, 0}},
         {{0x80, 72, 0}},
         {Off(72)},
         0},
    };
    for (const RestrikeRow& r : rows) {
        SCOPED_TRACE(r.what);
        MessagePath fresh(notes, channels);
        fresh.SetKeyLighting(&lights);
        for (const Step& s : r.steps) {
            fresh.SetTransposition(s.transpose);
            fresh.SetRemapAll(s.remap);
            sys.ClearSent();
            lights.marks.clear();
            fresh.Process(s.status, s.d1, s.d2, out);
        }
        EXPECT_EQ(sys.Sent(), r.lastSent) << Hex(sys.Sent());
        EXPECT_EQ(lights.marks, r.lastLit);
        EXPECT_EQ(fresh.SoundingCount(), r.soundingAfter);
    }
}

TEST_F(MessagePathTest, PanicEndsEveryHeldNoteWhereItWentOut) {
    Run(0x90, 60, 100); // ch 1, note 60
    Run(0x90, 62, 100);
    Run(0x80, 62, 0); // already ended: not repeated
    Set(2, true);
    Run(0x93, 64, 100); // ch 1, note 66
    Set(-1, false);
    Run(0x9F, 70, 100); // ch 16, note 69
    ASSERT_EQ(path.SoundingCount(), 3);
    sys.ClearSent();
    lights.marks.clear();

    path.SendPanic(out);

    const auto sent = sys.Sent();
    ASSERT_EQ(sent.size(), 1u + 3u + 32u) << Hex(sent);
    EXPECT_EQ(sent.front(), Bytes{0xFF});
    std::vector<Bytes> offs(sent.begin() + 1, sent.begin() + 4);
    std::sort(offs.begin(), offs.end());
    EXPECT_EQ(offs, (std::vector<Bytes>{{0x80, 60, 64}, {0x80, 66, 64}, {0x8F, 69, 64}}))
        << Hex(sent);
    EXPECT_EQ(std::vector<Bytes>(sent.begin() + 4, sent.end()), PedalAndAllNotesOff());
    std::vector<int> released;
    for (const Lit& l : lights.marks) {
        EXPECT_EQ(l.kind, Lit::Released);
        released.push_back(l.key);
    }
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, (std::vector<int>{60, 66, 69}));
    EXPECT_EQ(path.SoundingCount(), 0);
}

TEST_F(MessagePathTest, PanicForgetsTheHeldNotes) {
    Run(0x90, 60, 100);
    path.SendPanic(out);
    sys.ClearSent();

    path.SendPanic(out);
    auto expected = PedalAndAllNotesOff();
    expected.insert(expected.begin(), Bytes{0xFF});
    EXPECT_EQ(sys.Sent(), expected);

    // No longer held: the current tables apply.
    Set(2, true);
    EXPECT_EQ(Run(0x83, 60, 0), (std::vector<Bytes>{{0x80, 62, 0}}));
}

TEST_F(MessagePathTest, PanicWithOutputClosedSendsNothingAndForgets) {
    Run(0x90, 60, 100);
    out.Action(PortAction::Close);
    sys.ClearSent();
    path.SendPanic(out);
    EXPECT_TRUE(sys.Sent().empty());
    EXPECT_EQ(path.SoundingCount(), 0);
    EXPECT_EQ(lights.marks.back(), Off(60));
}

TEST_F(MessagePathTest, ProcessWithOutputClosedSendsNothing) {
    out.Action(PortAction::Close);
    for (std::uint8_t status : {0x90, 0x80, 0xB0, 0xC0, 0xF8, 0xFF})
        EXPECT_TRUE(Run(status, 60, 100).empty()) << int{status};

    FakeMidiSystem never;
    MIDIOutput unopened(never);
    path.Process(0x90, 60, 100, unopened);
    path.SendPanic(unopened);
    EXPECT_TRUE(never.Sent().empty());
}

TEST_F(MessagePathTest, NoLightingAttachedIsFine) {
    path.SetKeyLighting(nullptr);
    EXPECT_EQ(Run(0x90, 60, 100).size(), 1u);
    EXPECT_EQ(Run(0x80, 60, 0).size(), 1u);
    Run(0x90, 60, 100);
    path.SendPanic(out);
    EXPECT_EQ(path.SoundingCount(), 0);
}

// Every stop ends the sounding notes, then lifts the pedal and sends All Notes Off where a
// note or the pedal went since the start or the last such tail. An empty step is a panic.
TEST(EngineShutdown, EndsNotesThenLiftsThePedalWhereNotesOrThePedalWent) {
    const struct {
        const char* what;
        bool remap;
        std::vector<Bytes> played, offs;
        std::vector<std::uint8_t> pedalChannels;
    } rows[] = {
        {"held", false, {{0x92, 60, 1}, {0x95, 40, 1}}, {{0x82, 60, 64}, {0x85, 40, 64}}, {2, 5}},
        {"pedal", false, {{0x90, 60, 100}, {0x80, 60, 0}, {0xB3, 64, 1}}, {}, {0, 3}},
        {"remapped", true, {{0x97, 60, 100}}, {{0x80, 60, 64}}, {0}},
        {"nothing that sounds or holds", false, {{0x91, 60, 0}, {0xB2, 7, 1}, {0xC3, 5}}, {}, {}},
        {"since the panic", false, {{0x94, 60, 100}, {0xB1, 64, 1}, {}, {0xB6, 64, 0}}, {}, {6}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        FakeMidiSystem sys;
        sys.inputs = {"Keys"};
        sys.outputs = {"Synth"};
        Engine engine(sys);
        engine.notes = StartupNotes();
        engine.path.SetTransposition(0);
        engine.path.SetRemapAll(r.remap);
        ASSERT_TRUE(OpenMidiOut(engine.MIDIOutput1, kFirstOutputPosition));
        for (const Bytes& m : r.played) {
            if (m.empty())
                engine.path.SendPanic(engine.MIDIOutput1);
            else
                engine.path.Process(m[0], m[1], m.back(), engine.MIDIOutput1);
        }
        sys.ClearSent();
        const Engine::StopReport report = engine.Shutdown();
        std::vector<Bytes> stop = r.offs;
        for (const std::uint8_t c : r.pedalChannels) {
            stop.push_back({static_cast<std::uint8_t>(0xB0 | c), 64, 0});
            stop.push_back({static_cast<std::uint8_t>(0xB0 | c), 123, 0});
        }
        EXPECT_EQ(sys.Sent(), stop) << Hex(sys.Sent());
        const int released = static_cast<int>(r.offs.size());
        EXPECT_EQ(std::pair(report.released, report.left), std::pair(released, released));
        sys.ClearSent();
        engine.Shutdown();
        EXPECT_TRUE(sys.Sent().empty()) << "sent again";
    }
}

// Drain takes every waiting message in order: SysEx whole, stray data bytes dropped.
TEST_F(MessagePathTest, DrainForwardsEverythingWaitingInOrder) {
    sys.inputs = {"Keys"};
    MIDIInput in(sys);
    in.DeviceCount();
    in.SetDeviceID(0);
    in.Action(PortAction::Open);
    in.Action(PortAction::Start);
    Set(2, true);

    Bytes longSysEx{0xF0, 0x43};
    for (int i = 0; i < 300; ++i)
        longSysEx.push_back(static_cast<std::uint8_t>(i & 0x7F));
    longSysEx.push_back(0xF7);
    const std::vector<Bytes> input = {
        {0x93, 60, 100},
        {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
        {0xF8},
        {0x40}, // a stray data byte
        longSysEx,
        {0xC5, 9},
        {0xF0, 0x7D, 0xF7}, // SysEx as short as a channel message
        {0xB1, 64, 0},
        {0x83, 60, 0},
    };
    for (const Bytes& m : input)
        ASSERT_TRUE(sys.Inject(m));
    sys.ClearSent();

    path.Drain(in, out);

    EXPECT_EQ(in.MessageCount(), 0);
    const std::vector<Bytes> expected = {
        {0x90, 62, 100}, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
        {0xF8},          longSysEx,
        {0xC0, 9},       {0xF0, 0x7D, 0xF7},
        {0xB0, 64, 0},   {0x80, 62, 0},
    };
    EXPECT_EQ(sys.Sent(), expected) << Hex(sys.Sent());
}

} // namespace
} // namespace velomire
