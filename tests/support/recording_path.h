#pragma once

// Ends of the message path that keep what they are given, for tests that run the path or
// the engine without a MIDI system.

#include "core/midi/message_path.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <vector>

namespace velomire {

using Bytes = std::vector<std::uint8_t>;

// Keeps every message sent, with its frame. `hook`, when set, runs inside each Send, on the
// sending thread, after the message is kept.
class RecordingSender final : public MidiSender {
public:
    bool Send(std::span<const std::uint8_t> bytes, std::uint32_t frame) override {
        sent.emplace_back(bytes.begin(), bytes.end());
        frames.push_back(frame);
        if (hook)
            hook(sent.back());
        return true;
    }
    void Clear() {
        sent.clear();
        frames.clear();
    }

    std::vector<Bytes> sent;
    std::vector<std::uint32_t> frames;
    std::function<void(const Bytes&)> hook;
};

// A key the path lit or put out: Sounding(in, out, velocity, mapped) or Released(out).
struct Lit {
    enum Kind { Sounding, Released } kind;
    int in = -1;
    int out = -1;
    int velocity = -1;
    int mapped = -1;
    friend bool operator==(const Lit&, const Lit&) = default;
};

inline Lit On(int in, int out, int velocity, int mapped) {
    return {Lit::Sounding, in, out, velocity, mapped};
}
inline Lit Off(int out) {
    return {Lit::Released, -1, out, -1, -1};
}
inline void PrintTo(const Lit& l, std::ostream* os) {
    if (l.kind == Lit::Sounding)
        *os << "on(" << l.in << "->" << l.out << ", " << l.velocity << "->" << l.mapped << ')';
    else
        *os << "off(" << l.out << ')';
}

class RecordingEvents final : public PathEvents {
public:
    void Sounding(int in, int out, int velocity, int mapped) override {
        lit.push_back(On(in, out, velocity, mapped));
    }
    void Released(int out) override { lit.push_back(Off(out)); }
    std::vector<Lit> lit;
};

// What a fresh session plays with: straight curves on the 88 keys, all-zero curves (vmax
// 0) elsewhere, output notes for `transpose` and the channels as the switch says.
inline PathTables StartupTables(int transpose = 0, bool remap = false) {
    PathTables t;
    for (int n = kLowestKey; n <= kHighestKey; ++n)
        SetKeyStartupValues(t.notes[static_cast<std::size_t>(n)], n);
    TransposeOutnotes(t.notes, transpose);
    RemapChannels(t.channels, remap);
    return t;
}

} // namespace velomire
