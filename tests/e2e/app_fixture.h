#pragma once

// The velomire program as a child process on a private JACK server, wired to a peer that
// plays into its input and records its output; settings written by the test.

#include "e2e/jack_harness.h"
#include "core/settings/settings_codec.h"
#include "support/test_helpers.h"
#include "core/velocity/note_table.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

namespace velomire::e2e {

// What Velomire must send for one message under a fixed setting (nothing changes while it
// runs, so a note's end goes where its start went without tracking it).
inline Bytes Expected(const SettingsData& s, const Bytes& in) {
    const std::uint8_t status = in.at(0);
    if (status >= 0xF0)
        return in;
    const auto kind = static_cast<std::uint8_t>(status & 0xF0);
    const std::uint8_t channel = s.channels[15] == 0 ? 0 : s.channels[status & 0x0F];
    Bytes out = in;
    out[0] = static_cast<std::uint8_t>(kind | channel);
    if (kind == 0x80 || kind == 0x90 || kind == 0xA0) {
        const NoteSetting& key = s.notes[in.at(1)];
        if (kind == 0x90 && in.at(2) > 0)
            out[2] = MapVelocity(in[2], key);
        out[1] = key.outnote;
    }
    return out;
}

// A setting that moves notes by `transpose` and channels by `channels`, every key on a
// straight full-range curve unless changed afterwards.
inline SettingsData MakeSetting(int transpose, const std::array<std::uint8_t, 16>& channels) {
    SettingsData s;
    s.activenote = 60;
    s.channels = channels;
    for (int n = 0; n < kStoredNotes; ++n) {
        NoteSetting& key = s.notes[static_cast<std::size_t>(n)];
        key.outnote = static_cast<std::uint8_t>(std::clamp(n + transpose, 0, 127));
        key.exp = 1.0;
        key.vcut = 0;
        key.vmax = 127;
    }
    return s;
}

// Input channel c leaves on (5c + 3) mod 16: every channel moves, none collide, and entry
// 15 is not 0 (which would send everything to channel 1).
inline std::array<std::uint8_t, 16> ShuffledChannels() {
    std::array<std::uint8_t, 16> c{};
    for (int i = 0; i < 16; ++i)
        c[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((5 * i + 3) % 16);
    return c;
}

// A setting for random traffic: transposed, channels shuffled, a different curve on every
// key, but no key that turns a struck note into velocity 0 (so every note-on that leaves
// sounds and the pairing of note-ons and note-offs can be checked on the output).
inline SettingsData TrafficSetting() {
    SettingsData s = MakeSetting(3, ShuffledChannels());
    for (int n = 0; n < kStoredNotes; ++n) {
        NoteSetting& key = s.notes[static_cast<std::size_t>(n)];
        key.exp = 0.5 + (n % 3) * 0.25;
        key.vmax = static_cast<std::uint8_t>(80 + n % 48);
    }
    return s;
}

// Random messages of every kind but SysEx and active sensing. Notes are well formed: a key
// is struck only when it is not held on that channel and released only when it is, and
// every held key is released at the end.
inline std::vector<Bytes> RandomTraffic(int count, unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&](int n) {
        return static_cast<std::uint8_t>(random() % static_cast<unsigned>(n));
    };
    std::array<std::array<bool, 128>, 16> held{};
    std::vector<Bytes> t;
    auto on = [](std::uint8_t kind, std::uint8_t channel) {
        return static_cast<std::uint8_t>(kind | channel);
    };
    for (int i = 0; i < count; ++i) {
        const std::uint8_t ch = pick(16);
        const int kind = pick(100);
        const std::uint8_t key = pick(128);
        if (kind < 40) {
            bool& h = held[ch][key];
            if (!h)
                t.push_back({on(0x90, ch), key, static_cast<std::uint8_t>(1 + pick(127))});
            else if (pick(2))
                t.push_back({on(0x80, ch), key, pick(128)});
            else
                t.push_back({on(0x90, ch), key, 0});
            h = !h;
        } else if (kind < 47) {
            t.push_back({on(0xA0, ch), key, pick(128)});
        } else if (kind < 60) {
            t.push_back({on(0xB0, ch), pick(128), pick(128)});
        } else if (kind < 65) {
            t.push_back({on(0xC0, ch), pick(128)});
        } else if (kind < 70) {
            t.push_back({on(0xD0, ch), pick(128)});
        } else if (kind < 80) {
            t.push_back({on(0xE0, ch), pick(128), pick(128)});
        } else {
            static const Bytes kSystem[] = {{0xF8}, {0xF8}, {0xF8}, {0xF1}, {0xF2},
                                            {0xF3}, {0xF6}, {0xFA}, {0xFB}, {0xFC}};
            Bytes m = kSystem[pick(std::size(kSystem))];
            const int data = m[0] == 0xF2 ? 2 : (m[0] == 0xF1 || m[0] == 0xF3) ? 1 : 0;
            for (int d = 0; d < data; ++d)
                m.push_back(pick(128));
            t.push_back(m);
        }
    }
    for (std::uint8_t ch = 0; ch < 16; ++ch)
        for (std::uint8_t key = 0; key < 128; ++key)
            if (held[ch][key])
                t.push_back({static_cast<std::uint8_t>(0x80 | ch), key, 64});
    return t;
}

class VelomireApp : public ::testing::Test {
protected:
    static constexpr const char* kPeerName = "e2e-keys";
    static constexpr auto kStartTimeout = std::chrono::seconds(10);
    static constexpr auto kReplyTimeout = std::chrono::seconds(10);

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("cfg")));
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        // Registered first, so it heads both device lists: the window opens it at startup
        // and must then move to the device its setting names.
        ASSERT_NO_FATAL_FAILURE(OpenClient(decoy_));
        ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));
        // About 24,000 messages a second: far beyond a MIDI cable, far from JACK's limits.
        peer_.SetMaxPerPeriod(32);
    }

    void TearDown() override {
        app_.Kill();
        peer_.Close();
        decoy_.Close();
        server_.Stop();
    }

    SettingsData Named(SettingsData s) const {
        s.indevice = EncodeDeviceName(QString::fromStdString(peer_.OutPortName()));
        s.outdevice = EncodeDeviceName(QString::fromStdString(peer_.InPortName()));
        return s;
    }

    void WriteFile(const QString& name, const QByteArray& bytes) {
        QFile f(dir_.filePath(QStringLiteral("cfg/") + name + QStringLiteral(".vmc")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    void WriteSetting(const QString& name, const SettingsData& s) {
        const SettingsBytes b = EncodeSettings(Named(s));
        WriteFile(name, QByteArray(reinterpret_cast<const char*>(b.data()),
                                   static_cast<qsizetype>(b.size())));
    }

    void Launch(ChildProcess& app, const std::vector<std::string>& args,
                const std::vector<std::string>& env) {
        // A previous run's ports linger for a moment after it ends; readiness is judged by
        // the peer's connections, so start only once they are gone.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (PeerConnectedAtAll() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(PeerConnectedAtAll()) << "the peer is still connected to an earlier run";
        launchedAt_ = peer_.ReceivedCount();
        std::vector<std::string> argv = {VELOMIRE_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string error;
        ASSERT_TRUE(app.Start(argv, env, dir_.path().toStdString(), error)) << error;
    }
    // The window loads Default.vmc at startup.
    void StartWindow(ChildProcess& app) {
        Launch(app, {"--midi-api", "jack"}, EnvironmentWith({"QT_QPA_PLATFORM=offscreen"}));
    }
    // No display of any kind: every headless run checks that it needs none.
    void StartHeadless(ChildProcess& app, const std::string& setting) {
        Launch(app, {"--headless", setting, "--midi-api", "jack"},
               EnvironmentWith({}, {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}));
    }

    // On a loaded machine a fresh server now and then answers a client with a
    // communication error, or is still retiring an earlier client of the same name.
    static void OpenClient(JackPeer& client) {
        std::string error;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!client.Open(error) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(client.IsOpen()) << error;
    }

    bool PeerConnectedAtAll() const {
        return !peer_.Connections(peer_.OutPortName()).empty() ||
               !peer_.Connections(peer_.InPortName()).empty();
    }
    bool PeerConnected() const {
        return !peer_.Connections(peer_.OutPortName()).empty() &&
               !peer_.Connections(peer_.InPortName()).empty();
    }

    // Waits until Velomire's ports reach the peer, then until a marker comes back, so all
    // it sent at startup has arrived: Local Control Off, once the input is open.
    void WaitUntilReady(ChildProcess& app) {
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        while (!PeerConnected() && app.Running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(app.Running()) << "velomire ended: " << app.Stderr();
        ASSERT_TRUE(PeerConnected())
            << "velomire did not connect within " << kStartTimeout.count()
            << " s; stdout: " << app.Stdout() << "stderr: " << app.Stderr();
        Exchange({});
        std::vector<Bytes> startup = peer_.ReceivedMessages(launchedAt_);
        ASSERT_FALSE(startup.empty());
        startup.pop_back(); // the marker
        ASSERT_EQ(startup, (std::vector<Bytes>{{0xB0, 0x7A, 0x00}})) << "sent at startup";
    }

    // Plays the messages followed by a marker that passes whole whatever the setting, and
    // returns what Velomire sent before the marker came back (to `listener`, when Velomire's
    // output goes to another client than the peer).
    std::vector<Bytes> Exchange(const std::vector<Bytes>& messages, JackPeer* listener = nullptr) {
        const JackPeer& in = listener ? *listener : peer_;
        const std::size_t start = in.ReceivedCount();
        const Bytes marker = {0xF0, 0x7D, static_cast<std::uint8_t>(++markers_ & 0x7F), 0xF7};
        for (const Bytes& m : messages)
            EXPECT_TRUE(peer_.Send(m));
        EXPECT_TRUE(peer_.Send(marker));
        auto markerBack = [&] {
            const std::size_t count = in.ReceivedCount();
            return count > start && in.Received(count - 1).Message() == marker;
        };
        const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
        while (!markerBack() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::vector<Bytes> replies = in.ReceivedMessages(start);
        if (!markerBack()) {
            ADD_FAILURE() << "marker not back within " << kReplyTimeout.count() << " s; "
                          << replies.size() << " messages received";
            return replies;
        }
        replies.pop_back();
        return replies;
    }

    // Message by message, reporting the first difference rather than ten thousand.
    static void ExpectSameStream(const std::vector<Bytes>& got, const std::vector<Bytes>& want,
                                 const std::vector<Bytes>& played) {
        EXPECT_EQ(got.size(), want.size()) << "messages out vs expected";
        const std::size_t common = std::min(got.size(), want.size());
        for (std::size_t i = 0; i < common; ++i) {
            if (got[i] != want[i]) {
                ADD_FAILURE() << "message " << i << " left as " << Hex(got[i]) << ", expected "
                              << Hex(want[i])
                              << (i < played.size() ? " (played " + Hex(played[i]) + ")" : "");
                return;
            }
        }
    }

    static std::vector<Bytes> ExpectedFor(const SettingsData& s, const std::vector<Bytes>& in) {
        std::vector<Bytes> out;
        for (const Bytes& m : in)
            out.push_back(Expected(s, m));
        return out;
    }

    QTemporaryDir dir_;
    JackServer server_;
    JackPeer decoy_{"e2e-decoy"};
    JackPeer peer_{kPeerName};
    ChildProcess app_;
    int markers_ = 0;
    std::size_t launchedAt_ = 0; // what the peer had received when the program started
};

} // namespace velomire::e2e
