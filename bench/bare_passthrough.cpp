// The floor for MIDI through RtMidi on JACK: every message received is sent on at once,
// from RtMidi's own callback, with nothing in between.
//
//   velomire_bare_passthrough SOURCE_PORT DESTINATION_PORT
//
// Ports are full JACK names ("client:port"). Runs until SIGINT or SIGTERM.
#include <RtMidi.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int FindPort(RtMidi& midi, const std::string& name) {
    const unsigned count = midi.getPortCount();
    for (unsigned i = 0; i < count; ++i)
        if (midi.getPortName(i) == name)
            return static_cast<int>(i);
    return -1;
}

void PassOn(double, std::vector<unsigned char>* message, void* out) {
    if (message && !message->empty())
        static_cast<RtMidiOut*>(out)->sendMessage(message);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOURCE_PORT DESTINATION_PORT\n", argv[0]);
        return 2;
    }
    // Wait for the signals synchronously; block them before RtMidi starts its threads.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    try {
        RtMidiOut out(RtMidi::UNIX_JACK, "bare");
        RtMidiIn in(RtMidi::UNIX_JACK, "bare", 1024);
        const int destination = FindPort(out, argv[2]);
        const int source = FindPort(in, argv[1]);
        if (source < 0 || destination < 0) {
            std::fprintf(stderr, "bare: port %s not found\n", source < 0 ? argv[1] : argv[2]);
            return 1;
        }
        out.openPort(static_cast<unsigned>(destination), "out");
        in.setCallback(&PassOn, &out);
        in.ignoreTypes(false, false, true);
        in.openPort(static_cast<unsigned>(source), "in");
        std::printf("bare: passing %s to %s\n", argv[1], argv[2]);
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stop, &signal);
        in.closePort();
        out.closePort();
    } catch (const RtMidiError& e) {
        std::fprintf(stderr, "bare: %s\n", e.getMessage().c_str());
        return 1;
    }
    return 0;
}
