// SPDX-License-Identifier: GPL-3.0-or-later
// The instruments scripts/screenshot.sh photographs Velomire with: a keyboard ("Digital
// Piano:MIDI out") and a sound module ("Sound Module:MIDI in") on the JACK server that
// JACK_DEFAULT_SERVER names, and a Default setting in FOLDER/cfg that chooses them.
// Usage: velomire_screenshot_peer FOLDER, then commands on standard input, one a line:
//   hold        strike a chord and keep it held
//   release     release it
//   soft, firm  play a calibration pass: every key five times, softly or firmly, as an
//               uneven keyboard plays (keys louder or quieter, steeper or flatter)
// Each command is answered with "done" once its messages have left.
#include "core/settings/settings_codec.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace velomire;

namespace {

using Message = std::array<std::uint8_t, 3>;

// Messages from the command thread to the process callback, two per period: about as fast
// as a pianist plays, so the window sees every strike.
struct Outbox {
    static constexpr std::size_t kCapacity = 4096;
    std::array<Message, kCapacity> ring{};
    std::atomic<std::size_t> head{0}; // written by the command thread
    std::atomic<std::size_t> tail{0}; // written by the process thread
    jack_port_t* port = nullptr;
};

int Process(jack_nframes_t frames, void* arg) {
    auto* box = static_cast<Outbox*>(arg);
    void* buffer = jack_port_get_buffer(box->port, frames);
    jack_midi_clear_buffer(buffer);
    std::size_t tail = box->tail.load(std::memory_order_relaxed);
    const std::size_t head = box->head.load(std::memory_order_acquire);
    for (jack_nframes_t offset = 0; tail != head && offset < 2; ++offset, ++tail)
        jack_midi_event_write(buffer, offset, box->ring[tail % Outbox::kCapacity].data(), 3);
    box->tail.store(tail, std::memory_order_release);
    return 0;
}

void Play(Outbox& box, const std::vector<Message>& messages) {
    for (const Message& m : messages) {
        while (box.head.load() - box.tail.load() >= Outbox::kCapacity)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        box.ring[box.head.load() % Outbox::kCapacity] = m;
        box.head.fetch_add(1, std::memory_order_release);
    }
    while (box.tail.load(std::memory_order_acquire) != box.head.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Straight full-range curves but for a few keys around E4 (the active key), which bend
// from one selected key to the other, as Spread Velocity leaves them.
bool WriteDefault(const std::string& folder) {
    SettingsData s;
    s.indevice = EncodeDeviceName(QStringLiteral("Digital Piano:MIDI out"));
    s.outdevice = EncodeDeviceName(QStringLiteral("Sound Module:MIDI in"));
    s.activenote = 64;
    for (int c = 0; c < 16; ++c)
        s.channels[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c);
    for (int n = 0; n < kStoredNotes; ++n) {
        NoteSetting& key = s.notes[static_cast<std::size_t>(n)];
        key.outnote = static_cast<std::uint8_t>(n);
        key.exp = 1.0;
        key.vmax = 127;
        if (n >= 57 && n <= 71) {
            const double bend = 1.0 - std::abs(n - 64) / 7.0; // 1 at E4, 0 at the ends
            key.exp = 1.0 - 0.5 * bend;
            key.vcut = static_cast<std::uint8_t>(std::lround(12 * bend));
            key.vmax = static_cast<std::uint8_t>(std::lround(127 - 11 * bend));
        }
    }
    s.notes[57].selected = s.notes[71].selected = -1;
    const SettingsBytes bytes = EncodeSettings(s);
    std::ofstream out(folder + "/cfg/Default.vmc", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<Message> CalibrationPass(double touch) {
    // The same keyboard on both passes: every key's loudness and steepness drawn once.
    std::mt19937 keys(3);
    std::uniform_real_distribution<double> spread(0.8, 1.2);
    std::array<std::pair<double, double>, kHighestKey + 1> shape{};
    for (int n = kLowestKey; n <= kHighestKey; ++n)
        shape[static_cast<std::size_t>(n)] = {spread(keys), spread(keys)};
    static std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 2.5);
    std::vector<Message> pass;
    for (int strike = 0; strike < 5; ++strike)
        for (int n = kLowestKey; n <= kHighestKey; ++n) {
            const auto [loudness, steepness] = shape[static_cast<std::size_t>(n)];
            const double v = 127.0 * loudness * std::pow(touch, steepness) + noise(random);
            const auto note = static_cast<std::uint8_t>(n);
            pass.push_back(
                {0x90, note, static_cast<std::uint8_t>(std::clamp(std::lround(v), 1L, 127L))});
            pass.push_back({0x80, note, 64});
        }
    return pass;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    if (!WriteDefault(argv[1])) {
        std::fprintf(stderr, "cannot write %s/cfg/Default.vmc\n", argv[1]);
        return 1;
    }
    // libjack tells its news on standard output, which carries this program's answers.
    jack_set_info_function([](const char* m) { std::fprintf(stderr, "JACK: %s\n", m); });
    static Outbox box;
    jack_client_t* keyboard = jack_client_open("Digital Piano", JackNoStartServer, nullptr);
    jack_client_t* module = jack_client_open("Sound Module", JackNoStartServer, nullptr);
    if (!keyboard || !module) {
        std::fprintf(stderr, "cannot reach the JACK server\n");
        return 1;
    }
    box.port =
        jack_port_register(keyboard, "MIDI out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_port_register(module, "MIDI in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(keyboard, &Process, &box);
    if (!box.port || jack_activate(keyboard) != 0 || jack_activate(module) != 0) {
        std::fprintf(stderr, "cannot activate the JACK clients\n");
        return 1;
    }
    const std::vector<Message> chord = {
        {0x90, 48, 58}, {0x90, 55, 80}, {0x90, 64, 100}, {0x90, 67, 72}, {0x90, 72, 118}};
    std::cout << "ready" << std::endl;
    for (std::string command; std::getline(std::cin, command);) {
        if (command == "hold") {
            Play(box, chord);
        } else if (command == "release") {
            std::vector<Message> offs;
            for (const Message& m : chord)
                offs.push_back({0x80, m[1], 64});
            Play(box, offs);
        } else if (command == "soft" || command == "firm") {
            Play(box, CalibrationPass(command == "soft" ? 0.35 : 0.8));
        } else {
            std::cerr << "unknown command " << command << std::endl;
            continue;
        }
        std::cout << "done" << std::endl;
    }
    jack_client_close(keyboard);
    jack_client_close(module);
    return 0;
}
