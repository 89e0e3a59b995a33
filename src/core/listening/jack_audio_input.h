#pragma once

#include "core/listening/audio_ring.h"
#include "core/midi/jack_midi.h"

#include <jack/jack.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velomire {

class MidiSystem;
class RealtimeEngine;

// The audio input a measuring run listens through: one port, "Velomire:Listen In", on
// Velomire's own JACK client when MIDI runs on JACK, else on a client of its own
// ("Velomire Listen") on whatever JACK server runs (PipeWire's JACK layer included). It
// exists only while a run may listen: the port is registered by Open and goes with the
// object.
//
// Each period, on JACK's thread, the port's samples are copied into the ring, stamped with
// the engine's strike count; nothing else happens there.
//
// UI thread, except OnPeriod.
class JackAudioInput final : public JackPeriodTap {
public:
    static constexpr const char* kPortName = "Listen In";
    static constexpr const char* kOwnClientName = "Velomire Listen";
    // About ten seconds at 48 kHz: the reader may be held up that long without a loss.
    static constexpr std::size_t kRingChunks = 2048;

    // Null, with the reason in `error`, when no JACK server can be reached or the port does
    // not register.
    static std::unique_ptr<JackAudioInput> Open(MidiSystem& midi, const RealtimeEngine& engine,
                                                std::string& error);
    ~JackAudioInput();
    JackAudioInput(const JackAudioInput&) = delete;
    JackAudioInput& operator=(const JackAudioInput&) = delete;

    // Audio outputs of other clients, as "client:port"; Velomire's own are left out.
    std::vector<std::string> Sources() const;
    // Connects `source` alone to the port (earlier connections go). False when it is not
    // there or the server refuses.
    bool Connect(const std::string& source);
    // The connected source ("" for none).
    std::string Connected() const;
    std::string PortName() const;
    unsigned SampleRate() const;
    // False once the client the port lives on has gone (its server stopped).
    bool Alive() const;

    AudioRing& Ring() { return ring_; }

    void OnPeriod(jack_nframes_t frames) override;

private:
    JackAudioInput(JackMidiSystem* shared, jack_client_t* client, const RealtimeEngine& engine);
    static int OnOwnProcess(jack_nframes_t frames, void* self);

    JackMidiSystem* shared_; // the MIDI system whose client it borrows, or null
    jack_client_t* client_;  // borrowed from shared_, or its own
    jack_port_t* port_ = nullptr;
    const RealtimeEngine& engine_;
    AudioRing ring_;
};

} // namespace velomire
