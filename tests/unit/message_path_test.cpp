#include "session/session.h"
#include "core/midi/message_path.h"
#include "support/recording_path.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace velomire {
namespace {

class MessagePathTest : public ::testing::Test {
protected:
    // Processes one message with the tables for `transpose` and `remap`; returns only what
    // it sent (lit keys in `events`).
    std::vector<Bytes> Run(const Bytes& message, int transpose = 0, bool remap = false) {
        PathTables tables = base;
        TransposeOutnotes(tables.notes, transpose);
        RemapChannels(tables.channels, remap);
        out.Clear();
        events.lit.clear();
        path.Process(message, 0, tables, out, events);
        return out.sent;
    }

    MessagePath path;
    RecordingSender out;
    RecordingEvents events;
    PathTables base = StartupTables();
};

struct PathRow {
    const char* what;
    Bytes in;
    int transpose;
    bool remap;
    Bytes expected;
    std::vector<Lit> lit;
};

// Every message on a path with nothing held: what leaves, and which key is lit.
TEST_F(MessagePathTest, EachKindLeavesReshapedAsTheTablesSay) {
    base.notes[60].vmax = 64; // 127 -> 64: shows whose curve was used
    base.notes[61].vcut = 50;
    const PathRow rows[] = {
        {"note-on: curve of the played key, lit key transposed",
         {0x90, 60, 127},
         12,
         false,
         {0x90, 72, 64},
         {On(60, 72, 127, 64)}},
        {"note-on straight curve",
         {0x90, 62, 100},
         0,
         false,
         {0x90, 62, 100},
         {On(62, 62, 100, 100)}},
        {"note-on remapped", {0x93, 62, 100}, 2, true, {0x90, 64, 100}, {On(62, 64, 100, 100)}},
        {"note-on channel kept",
         {0x9C, 62, 100},
         -2,
         false,
         {0x9C, 60, 100},
         {On(62, 60, 100, 100)}},
        {"note-on below cut-off still sent",
         {0x90, 61, 49},
         0,
         false,
         {0x90, 61, 0},
         {On(61, 61, 49, 0)}},
        {"note-on off the keyboard is silent",
         {0x90, 5, 100},
         0,
         false,
         {0x90, 5, 0},
         {On(5, 5, 100, 0)}},
        {"data bytes never carry a status bit",
         {0x90, 0x80 | 62, 0xFF},
         0,
         false,
         {0x90, 62, 127},
         {On(62, 62, 127, 127)}},
        {"note-on velocity 0 is a release", {0x91, 62, 0}, 2, false, {0x91, 64, 0}, {Off(64)}},
        {"note-off keeps release velocity", {0x85, 62, 33}, 2, true, {0x80, 64, 33}, {Off(64)}},
        {"note-off clamps at 127", {0x80, 120, 0}, 12, false, {0x80, 127, 0}, {Off(127)}},
        {"note-off 115 clamps at 127", {0x80, 115, 0}, 12, false, {0x80, 127, 0}, {Off(127)}},
        {"note-off clamps at 0", {0x80, 5, 0}, -12, false, {0x80, 0, 0}, {Off(0)}},
        {"poly pressure transposed", {0xA2, 62, 50}, 2, false, {0xA2, 64, 50}, {}},
        {"poly pressure remapped", {0xAF, 62, 50}, -2, true, {0xA0, 60, 50}, {}},
        {"sustain pedal keeps its number", {0xB0, 64, 127}, 2, false, {0xB0, 64, 127}, {}},
        {"controller remapped", {0xB5, 7, 100}, -12, true, {0xB0, 7, 100}, {}},
        {"program change", {0xC3, 5}, 2, false, {0xC3, 5}, {}},
        {"program change remapped", {0xC3, 5}, 2, true, {0xC0, 5}, {}},
        {"channel pressure", {0xD1, 70}, 2, false, {0xD1, 70}, {}},
        {"pitch bend", {0xE4, 0x10, 0x40}, 12, true, {0xE0, 0x10, 0x40}, {}},
        {"clock", {0xF8}, 2, true, {0xF8}, {}},
        {"start", {0xFA}, 2, true, {0xFA}, {}},
        {"stop", {0xFC}, 2, true, {0xFC}, {}},
        {"system reset", {0xFF}, 2, true, {0xFF}, {}},
        {"tune request", {0xF6}, 2, true, {0xF6}, {}},
        {"song position", {0xF2, 0x10, 0x20}, 2, true, {0xF2, 0x10, 0x20}, {}},
        {"quarter frame", {0xF1, 0x35}, 2, true, {0xF1, 0x35}, {}},
        {"song select", {0xF3, 5}, 2, true, {0xF3, 5}, {}},
    };
    for (const PathRow& r : rows) {
        SCOPED_TRACE(r.what);
        path = MessagePath();
        const auto sent = Run(r.in, r.transpose, r.remap);
        EXPECT_EQ(sent, std::vector<Bytes>{r.expected}) << Hex(sent);
        EXPECT_EQ(events.lit, r.lit);
    }
}

TEST(PathTables, TranspositionRewritesOnlyNotesUpTo127) {
    NoteTable notes{};
    notes[128].outnote = 77;
    for (int offset = -kTransposeRange; offset <= kTransposeRange; ++offset) {
        TransposeOutnotes(notes, offset);
        for (int n = 0; n <= 127; ++n)
            ASSERT_EQ(notes[static_cast<std::size_t>(n)].outnote, std::clamp(n + offset, 0, 127))
                << "offset " << offset << " note " << n;
        EXPECT_EQ(notes[128].outnote, 77);
    }
}

TEST(PathTables, RemapAllLeavesEntry16) {
    ChannelTable channels{};
    channels[16] = 9;
    RemapChannels(channels, true);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(channels[static_cast<std::size_t>(c)], 0) << c;
    RemapChannels(channels, false);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(channels[static_cast<std::size_t>(c)], c) << c;
    EXPECT_EQ(channels[16], 9);
}

struct Step {
    int transpose;
    bool remap;
    Bytes message;
};

struct HeldRow {
    const char* what;
    std::vector<Step> steps; // what the last one sends and lights is checked
    std::vector<Bytes> lastSent;
    std::vector<Lit> lastLit;
    int soundingAfter;
};

// A note's end (and pressure on it) goes where its start went, however the tables changed.
// A key struck again with no note-off between, whose target the tables moved, first ends
// the sound it started, or nothing would ever end it.
TEST_F(MessagePathTest, HeldNotesEndWhereTheyStarted) {
    const HeldRow rows[] = {
        {"note-off after transposing",
         {{0, false, {0x90, 60, 100}}, {2, false, {0x80, 60, 0}}},
         {{0x80, 60, 0}},
         {Off(60)},
         0},
        {"note-on velocity 0 after transposing",
         {{0, false, {0x90, 60, 100}}, {5, false, {0x90, 60, 0}}},
         {{0x90, 60, 0}},
         {Off(60)},
         0},
        {"note-off after remapping",
         {{0, false, {0x93, 60, 100}}, {0, true, {0x83, 60, 64}}},
         {{0x83, 60, 64}},
         {Off(60)},
         0},
        {"note-off after remapping undone",
         {{0, true, {0x93, 60, 100}}, {0, false, {0x83, 60, 64}}},
         {{0x80, 60, 64}},
         {Off(60)},
         0},
        {"both changed",
         {{-12, true, {0x9A, 70, 1}}, {12, false, {0x8A, 70, 9}}},
         {{0x80, 58, 9}},
         {Off(58)},
         0},
        {"pressure on a held note",
         {{0, false, {0x92, 60, 100}}, {2, true, {0xA2, 60, 30}}},
         {{0xA2, 60, 30}},
         {},
         1},
        {"pressure after release uses the tables",
         {{0, false, {0x92, 60, 100}}, {0, false, {0x82, 60, 0}}, {2, true, {0xA2, 60, 30}}},
         {{0xA0, 62, 30}},
         {},
         0},
        {"second note-off uses the tables",
         {{0, false, {0x90, 60, 100}}, {2, false, {0x80, 60, 0}}, {2, false, {0x80, 60, 0}}},
         {{0x80, 62, 0}},
         {Off(62)},
         0},
        {"memory is per note",
         {{0, false, {0x90, 60, 100}}, {2, false, {0x80, 61, 0}}},
         {{0x80, 63, 0}},
         {Off(63)},
         1},
        {"memory is per channel: first",
         {{0, false, {0x90, 60, 100}}, {2, false, {0x91, 60, 100}}, {4, false, {0x80, 60, 0}}},
         {{0x80, 60, 0}},
         {Off(60)},
         1},
        {"memory is per channel: second",
         {{0, false, {0x90, 60, 100}}, {2, false, {0x91, 60, 100}}, {4, false, {0x81, 60, 0}}},
         {{0x81, 62, 0}},
         {Off(62)},
         1},
        {"a controller numbered like the note leaves it held",
         {{0, false, {0x90, 60, 100}}, {2, false, {0xB0, 60, 0}}, {2, false, {0x80, 60, 0}}},
         {{0x80, 60, 0}},
         {Off(60)},
         0},
        {"pressure does not end the note",
         {{0, false, {0x90, 60, 100}}, {2, false, {0xA0, 60, 0}}, {4, false, {0x80, 60, 0}}},
         {{0x80, 60, 0}},
         {Off(60)},
         0},
        {"restruck after transposing",
         {{0, false, {0x90, 60, 100}}, {12, false, {0x90, 60, 90}}},
         {{0x80, 60, 64}, {0x90, 72, 90}},
         {Off(60), On(60, 72, 90, 90)},
         1},
        {"restruck after remapping",
         {{0, false, {0x93, 60, 100}}, {0, true, {0x93, 60, 90}}},
         {{0x83, 60, 64}, {0x90, 60, 90}},
         {Off(60), On(60, 60, 90, 90)},
         1},
        {"restruck on the same target: the instrument retriggers by itself",
         {{2, false, {0x90, 60, 100}}, {2, false, {0x90, 60, 90}}},
         {{0x90, 62, 90}},
         {On(60, 62, 90, 90)},
         1},
        {"the note-off after a restrike ends the second sound",
         {{0, false, {0x90, 60, 100}}, {12, false, {0x90, 60, 90}}, {0, false, {0x80, 60, 0}}},
         {{0x80, 72, 0}},
         {Off(72)},
         0},
    };
    for (const HeldRow& r : rows) {
        SCOPED_TRACE(r.what);
        path = MessagePath();
        for (const Step& s : r.steps)
            Run(s.message, s.transpose, s.remap);
        EXPECT_EQ(out.sent, r.lastSent) << Hex(out.sent);
        EXPECT_EQ(events.lit, r.lastLit);
        EXPECT_EQ(path.SoundingCount(), r.soundingAfter);
    }
}

TEST_F(MessagePathTest, PanicEndsEveryHeldNoteWhereItWentOut) {
    Run({0x90, 60, 100}); // ch 1, note 60
    Run({0x90, 62, 100});
    Run({0x80, 62, 0});            // already ended: not repeated
    Run({0x93, 64, 100}, 2, true); // ch 1, note 66
    Run({0x9F, 70, 100}, -1);      // ch 16, note 69
    ASSERT_EQ(path.SoundingCount(), 3);
    out.Clear();
    events.lit.clear();

    path.SendPanic(out, events);

    const auto& sent = out.sent;
    ASSERT_EQ(sent.size(), 1u + 3u + 32u) << Hex(sent);
    EXPECT_EQ(sent.front(), Bytes{0xFF});
    std::vector<Bytes> offs(sent.begin() + 1, sent.begin() + 4);
    std::sort(offs.begin(), offs.end());
    EXPECT_EQ(offs, (std::vector<Bytes>{{0x80, 60, 64}, {0x80, 66, 64}, {0x8F, 69, 64}}))
        << Hex(sent);
    EXPECT_EQ(std::vector<Bytes>(sent.begin() + 4, sent.end()), PedalAndAllNotesOff());
    std::vector<int> released;
    for (const Lit& l : events.lit) {
        EXPECT_EQ(l.kind, Lit::Released);
        released.push_back(l.out);
    }
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, (std::vector<int>{60, 66, 69}));
    EXPECT_EQ(path.SoundingCount(), 0);
}

// What the path remembers does not depend on whether the output took anything.
TEST_F(MessagePathTest, PanicForgetsTheHeldNotesEvenWhenTheOutputTakesNothing) {
    struct Refusing final : MidiSender {
        bool Send(std::span<const std::uint8_t>, std::uint32_t) override { return false; }
    } refusing;
    Run({0x90, 60, 100});
    events.lit.clear();
    path.SendPanic(refusing, events);
    EXPECT_EQ(path.SoundingCount(), 0);
    EXPECT_EQ(events.lit, std::vector<Lit>{Off(60)});

    out.Clear();
    path.SendPanic(out, events);
    auto expected = PedalAndAllNotesOff();
    expected.insert(expected.begin(), Bytes{0xFF});
    EXPECT_EQ(out.sent, expected);

    // No longer held: the current tables apply.
    EXPECT_EQ(Run({0x83, 60, 0}, 2, true), (std::vector<Bytes>{{0x80, 62, 0}}));
}

// A pedal is released where it was pressed, whatever the tables say by then; the tail
// lifts the pedals that were used and forgets them.
TEST_F(MessagePathTest, PedalsEndWhereTheyWerePressed) {
    struct Played {
        Bytes in;
        bool remap;
        std::vector<Bytes> out;
    };
    struct Row {
        const char* what;
        std::vector<Played> steps;
        std::vector<Bytes> tail; // after the steps
    };
    const Row rows[] = {
        {"sustain on channel 3, released after remapping",
         {{{0xB2, 64, 127}, false, {{0xB2, 64, 127}}},
          {{0x92, 60, 100}, false, {{0x92, 60, 100}}},
          {{0x82, 60, 64}, true, {{0x82, 60, 64}}},
          {{0xB2, 64, 90}, true, {{0xB2, 64, 90}}}, // still down: where it went
          {{0xB2, 64, 0}, true, {{0xB2, 64, 0}}},
          {{0xB2, 64, 127}, true, {{0xB0, 64, 127}}}}, // pressed anew: the tables apply
         {{0xB0, 64, 0}, {0xB0, 123, 0}, {0xB2, 64, 0}, {0xB2, 123, 0}}},
        {"sostenuto pressed remapped, released unmapped",
         {{{0xB5, 66, 127}, true, {{0xB0, 66, 127}}}, {{0xB5, 66, 0}, false, {{0xB0, 66, 0}}}},
         {{0xB0, 64, 0}, {0xB0, 66, 0}, {0xB0, 123, 0}}},
        {"other controllers follow the tables",
         {{{0xB5, 64, 127}, false, {{0xB5, 64, 127}}}, {{0xB5, 7, 99}, true, {{0xB0, 7, 99}}}},
         {{0xB5, 64, 0}, {0xB5, 123, 0}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        path = MessagePath();
        for (const Played& step : row.steps)
            EXPECT_EQ(Run(step.in, 0, step.remap), step.out) << Hex(step.in);
        out.Clear();
        path.SendPedalAndAllNotesOff(out);
        EXPECT_EQ(out.sent, row.tail);
        EXPECT_EQ(path.PedalsHeld(), 0);
    }
}

// An output out of reach: what sounds is forgotten without a word (the keys go dark), and
// the channels it used still get the tail once the output is back.
TEST_F(MessagePathTest, ForgottenNotesLeaveTheirChannelsForTheTail) {
    Run({0x93, 60, 100});
    Run({0xB3, 64, 127});
    events.lit.clear();
    out.Clear();
    EXPECT_EQ(path.Forget(events), 1);
    EXPECT_EQ(out.sent, std::vector<Bytes>{});
    EXPECT_EQ(events.lit, std::vector<Lit>{Off(60)});
    EXPECT_EQ(path.PedalsHeld(), 0);
    path.SendPedalAndAllNotesOff(out);
    EXPECT_EQ(out.sent, (std::vector<Bytes>{{0xB3, 64, 0}, {0xB3, 123, 0}}));
}

} // namespace
} // namespace velomire
