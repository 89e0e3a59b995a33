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
    for (const auto& m : messages)
        text += "[" + Hex(m) + "]";
    return text.empty() ? "(nothing)" : text;
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
