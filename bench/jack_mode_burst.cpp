// A burst of notes and controllers through the window app, as fast as the ports take
// them: all must arrive, mapped and in order.
#include "jack_modes.h"

#include <cstdio>
#include <random>

namespace velomire::bench::jackbench {

namespace {
constexpr const char* kBurstPeerName = "vbench-burst";
} // namespace

void PrintBurstHeading(const Options& o) {
    std::printf("Burst: %d notes and controllers, %s per period, through the window app\n", o.burst,
                o.burstPerPeriod ? std::to_string(o.burstPerPeriod).c_str()
                                 : "as many as the port buffer takes");
    std::fflush(stdout);
}

Burst RunBurst(const std::string& directory, const Options& o) {
    Burst b;
    b.count = o.burst;
    b.perPeriod = o.burstPerPeriod;
    e2e::JackPeer peer(kBurstPeerName);
    std::string error;
    if (!peer.Open(error)) {
        b.note = error;
        return b;
    }
    const SettingsData setting = BenchSetting(peer.OutPortName(), peer.InPortName());
    if (!WriteSetting(directory, "Default", setting, error)) {
        b.note = error;
        return b;
    }
    ChildProcess app;
    if (!app.Start({VELOMIRE_BINARY, "--midi-api", "jack"}, directory,
                   {"QT_QPA_PLATFORM=offscreen"}, error)) {
        b.note = error;
        return b;
    }
    if (!WaitConnected(peer, &app, std::chrono::seconds(20))) {
        b.note = "the window app never connected to the peer; its output:\n" + app.Output();
        return b;
    }
    std::printf("  %-34s ports %s\n", "window app (burst)", TargetPorts(peer).c_str());
    Pause(std::chrono::milliseconds(500));

    // Notes on and off and controllers on every channel, keys and values spread.
    std::mt19937 random(20240607);
    std::vector<Bytes> played, expected;
    for (int i = 0; i < o.burst; ++i) {
        const auto channel = static_cast<std::uint8_t>(random() % 16);
        const unsigned kind = random() % 100;
        Bytes m;
        if (kind < 45)
            m = {static_cast<std::uint8_t>(0x90 | channel),
                 static_cast<std::uint8_t>(kLowestKey + random() % 88),
                 static_cast<std::uint8_t>(1 + random() % 127)};
        else if (kind < 80)
            m = {static_cast<std::uint8_t>(0x80 | channel),
                 static_cast<std::uint8_t>(kLowestKey + random() % 88),
                 static_cast<std::uint8_t>(random() % 128)};
        else
            m = {static_cast<std::uint8_t>(0xB0 | channel),
                 static_cast<std::uint8_t>(random() % 120),
                 static_cast<std::uint8_t>(random() % 128)};
        played.push_back(m);
        expected.push_back(Mapped(setting, m));
    }

    const std::size_t start = peer.ReceivedCount();
    peer.SetMaxPerPeriod(o.burstPerPeriod);
    const auto t0 = Clock::now();
    for (const Bytes& m : played) {
        if (!peer.Send(m)) {
            b.note = "the peer's send queue is full";
            return b;
        }
    }
    std::size_t seen = 0;
    auto lastProgress = Clock::now();
    auto lastArrival = t0;
    WaitFor(
        [&] {
            const std::size_t now = peer.ReceivedCount() - start;
            if (now != seen) {
                seen = now;
                lastProgress = lastArrival = Clock::now();
            }
            return now >= played.size() || (peer.PendingSends() == 0 &&
                                            Clock::now() - lastProgress > std::chrono::seconds(2));
        },
        std::chrono::seconds(60));
    b.wallMs = std::chrono::duration<double, std::milli>(lastArrival - t0).count();

    const std::vector<Bytes> received = peer.ReceivedMessages(start);
    b.received = received.size();
    for (std::size_t i = 0; i < std::min(received.size(), expected.size()); ++i) {
        if (received[i] != expected[i]) {
            ++b.mismatches;
            if (b.firstMismatch < 0)
                b.firstMismatch = static_cast<long>(i);
        }
    }
    for (std::size_t i = start + 1; i < peer.ReceivedCount(); ++i)
        if (static_cast<std::int32_t>(peer.Received(i).frame - peer.Received(i - 1).frame) < 0)
            b.framesInOrder = false;
    if (!received.empty())
        b.spanPeriods =
            static_cast<double>(static_cast<std::int32_t>(
                peer.Received(peer.ReceivedCount() - 1).frame - peer.Received(start).frame)) /
                static_cast<double>(peer.BufferSize()) +
            1.0;
    b.peerLost = peer.Lost();
    b.bufferFullPeriods = peer.BufferFullPeriods();
    b.ran = true;
    if (!app.Running())
        b.note = "the window app exited during the burst; its output:\n" + app.Output();
    app.Stop();
    b.saidLost = SaysLost(app.Output());
    if (b.saidLost)
        b.note += "the window app said: " + app.Output();
    return b;
}

void PrintBurst(const Burst& b) {
    if (b.ran) {
        std::printf("  received %zu of %d, %zu differ from the mapping in order (first at %ld), "
                    "frames %s\n",
                    b.received, b.count, b.mismatches, b.firstMismatch,
                    b.framesInOrder ? "in order" : "OUT OF ORDER");
        std::printf("  %.1f ms from the first send to the last arrival (%.0f messages/s); "
                    "arrivals spread over %.0f periods\n",
                    b.wallMs, b.received / (b.wallMs / 1000.0), b.spanPeriods);
        std::printf("  peer: %llu lost on receipt, %llu periods with a full send buffer\n",
                    static_cast<unsigned long long>(b.peerLost),
                    static_cast<unsigned long long>(b.bufferFullPeriods));
    }
    if (!b.note.empty())
        std::printf("  %s\n", b.note.c_str());
    std::printf("\n");
}

void PrintBurstRow(const Burst& b, const Options& o) {
    if (!b.ran) {
        PrintSummaryRow("5 Burst", "not measured", "all, in order, mapped", "FAILED");
        return;
    }
    const std::size_t lost =
        b.received < static_cast<std::size_t>(b.count) ? b.count - b.received : 0;
    PrintSummaryRow("5 Burst " + std::to_string(b.count) +
                        (o.burstPerPeriod ? " at " + std::to_string(b.perPeriod) + "/period"
                                          : ", full buffers"),
                    std::to_string(b.received) + " arrived, lost " + std::to_string(lost) +
                        ", wrong " + std::to_string(b.mismatches) + ", " +
                        (b.framesInOrder ? "in order, " : "OUT OF ORDER, ") + Fixed(b.wallMs, 0) +
                        " ms (" + Fixed(b.spanPeriods, 0) + " periods)",
                    "all, in order, mapped", b.Clean() ? "met" : "MISSED");
}

} // namespace velomire::bench::jackbench
