// Long SysEx, one per period, through the window in this process while its UI thread is
// blocked: every message must come back whole.
#include "jack_modes.h"
#include "jack_ui_load.h"
#include "sysex_peer.h"
#include "ui/main_window.h"

#include <cstdio>
#include <cstring>

namespace velomire::bench::jackbench {

namespace {
constexpr const char* kSysExPeerName = "vbench-sysex";
} // namespace

SysExRun RunSysEx(MainWindow& form, const Options& o) {
    SysExRun r;
    r.count = static_cast<std::size_t>(o.sysex);
    r.length = static_cast<std::size_t>(o.sysexBytes);
    SysExPeer peer(kSysExPeerName, r.count, r.length);
    std::string error;
    if (!peer.Open(error)) {
        r.note = error;
        return r;
    }
    Session& session = form.session();
    session.ChooseOutput(peer.InPortName());
    session.ChooseInput(peer.OutPortName());
    if (!WaitConnected(peer, nullptr, std::chrono::seconds(10))) {
        r.note = "the window never connected to the SysEx peer";
        return r;
    }
    Pause(std::chrono::milliseconds(200));
    const std::uint64_t droppedBefore = Total(session.CountLosses());

    UiBlocker blocker(std::chrono::milliseconds(o.blockMs), std::chrono::milliseconds(20));
    blocker.Start();
    peer.Play();
    Clock::time_point allSent{};
    WaitFor(
        [&] {
            if (peer.SentCount() < r.count)
                return false;
            if (allSent == Clock::time_point{})
                allSent = Clock::now();
            return peer.ArrivedCount() >= r.count ||
                   Clock::now() - allSent > std::chrono::seconds(1);
        },
        std::chrono::seconds(30) + std::chrono::milliseconds(5 * r.count));
    blocker.Stop();
    r.blocked = blocker.Describe();

    r.maxEvent = peer.MaxEventSize();
    r.sent = peer.SentCount();
    r.arrived = peer.ArrivedCount();
    std::vector<std::uint8_t> expected(r.length);
    for (std::size_t i = 0; i < r.arrived; ++i) {
        const SysExPeer::Event e = peer.Arrived(i);
        peer.Fill(i, expected.data());
        if (e.size == r.length && std::memcmp(e.bytes, expected.data(), r.length) == 0) {
            ++r.whole;
            if (i < r.sent)
                r.frames.push_back(
                    static_cast<double>(static_cast<std::int32_t>(e.frame - peer.SentFrame(i))));
        } else {
            ++r.broken;
        }
    }
    r.others = peer.Others();
    r.overflow = peer.Overflow();
    r.refused = peer.SendRefused();
    r.dropped = Total(session.CountLosses()) - droppedBefore;
    r.ran = true;
    // Back to no devices before the peer goes, so the session does not look for it.
    session.ChooseInput({});
    session.ChooseOutput({});
    return r;
}

void PrintSysEx(const SysExRun& r, int run) {
    if (!r.ran) {
        std::printf("  SysEx                          run %d  not measured: %s\n", run,
                    r.note.c_str());
        std::fflush(stdout);
        return;
    }
    const Figures f = FiguresOf(r.frames);
    std::printf(
        "  SysEx, UI blocked              run %d  %zu of %zu bytes (a JACK MIDI buffer takes "
        "%zu): sent %zu, arrived %zu, whole %zu, broken %zu; latency p50/p99/max %s, "
        "spread %s frames; dropped %llu, others %llu, past the store %llu, not sent "
        "at once %llu\n",
        run, r.count, r.length, r.maxEvent, r.sent, r.arrived, r.whole, r.broken,
        FramesText(f.p).c_str(), Fixed(f.Spread(), 0).c_str(),
        static_cast<unsigned long long>(r.dropped), static_cast<unsigned long long>(r.others),
        static_cast<unsigned long long>(r.overflow), static_cast<unsigned long long>(r.refused));
    std::printf("    %s\n", r.blocked.c_str());
    if (!r.note.empty())
        std::printf("    %s\n", r.note.c_str());
    std::fflush(stdout);
}

void PrintSysExRow(const std::vector<SysExRun>& runs, const Options& o) {
    std::size_t count = 0, whole = 0, broken = 0;
    std::uint64_t dropped = 0;
    std::vector<double> frames;
    bool clean = !runs.empty();
    for (const SysExRun& s : runs) {
        count += s.count;
        whole += s.whole;
        broken += s.broken;
        dropped += s.dropped;
        frames.insert(frames.end(), s.frames.begin(), s.frames.end());
        clean = clean && s.Clean();
    }
    const Figures f = FiguresOf(frames);
    PrintSummaryRow("6 SysEx " + std::to_string(o.sysex) + " x " + std::to_string(o.sysexBytes) +
                        " bytes, one per period, UI blocked",
                    std::to_string(whole) + " of " + std::to_string(count) + " whole, " +
                        std::to_string(broken) + " broken, " + std::to_string(dropped) +
                        " dropped (" + std::to_string(runs.size()) + " runs); latency " +
                        FramesText(f.p) + ", spread " + Fixed(f.Spread(), 0),
                    "all delivered whole", clean ? "met" : "MISSED");
}

} // namespace velomire::bench::jackbench
