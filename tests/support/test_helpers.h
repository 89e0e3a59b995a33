#pragma once

// Small helpers the test programs share.

#include <QCoreApplication>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace velomire {

// "90 3C 64 " for failure messages and logs; "(nothing)" for no bytes.
inline std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char b[4];
    for (const std::uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02X ", x);
        text += b;
    }
    return text.empty() ? "(nothing)" : text;
}

// "[90 3C 64 ][80 3C 00 ]"; "(nothing)" for no messages.
inline std::string Hex(const std::vector<std::vector<std::uint8_t>>& messages) {
    std::string text;
    // Appended piece by piece: GCC 12 at -O2 takes "[" + std::string&& for an overlapping
    // copy (-Wrestrict).
    for (const auto& m : messages) {
        text += '[';
        text += Hex(m);
        text += ']';
    }
    return text.empty() ? "(nothing)" : text;
}

// What a panic sends after its note-offs: sustain pedal up and All Notes Off on each of
// the 16 channels.
inline std::vector<std::vector<std::uint8_t>> PedalAndAllNotesOff() {
    std::vector<std::vector<std::uint8_t>> v;
    for (std::uint8_t c = 0; c < 16; ++c) {
        v.push_back({static_cast<std::uint8_t>(0xB0 | c), 64, 0});
        v.push_back({static_cast<std::uint8_t>(0xB0 | c), 123, 0});
    }
    return v;
}

// Runs the event loop until done() holds or `limit` passes.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(2)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
    }
    return true;
}

// Gives the event loop a few turns so that a pending wake-up, if any, is delivered.
inline void Pump() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

} // namespace velomire
