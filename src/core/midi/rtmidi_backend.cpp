#include "core/midi/rtmidi_backend.h"

#include "core/midi/jack_midi.h"
#include "core/midi/realtime_engine.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace velomire {

namespace {

// RtMidi reports through this instead of throwing once the object exists.
void IgnoreRtMidiError(RtMidiError::Type, const std::string&, void*) {}

std::vector<std::string> ListPorts(RtMidi& midi) {
    std::vector<std::string> names;
    try {
        const unsigned count = midi.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            std::string name = midi.getPortName(i);
            if (!name.empty() && !IsOwnPort(name))
                names.push_back(std::move(name));
        }
    } catch (const RtMidiError&) {
    }
    return names;
}

// Index of the named port now, or -1: devices come and go between listing and opening.
int FindPort(RtMidi& midi, const std::string& name) {
    try {
        const unsigned count = midi.getPortCount();
        for (unsigned i = 0; i < count; ++i)
            if (midi.getPortName(i) == name)
                return static_cast<int>(i);
    } catch (const RtMidiError&) {
    }
    return -1;
}

// The ALSA sequencer through RtMidi. The engine runs on RtMidi's input thread, which sends
// from there; what the UI sends runs there too, or on the UI thread when no input is busy
// with it (RealtimeEngine::Pump lets only one at a time).
class RtMidiSystem final : public MidiSystem {
public:
    RtMidiSystem(RtMidi::Api api, std::string name) : name_(std::move(name)), sender_(*this) {
        try {
            in_ = std::make_unique<RtMidiIn>(api, kClientName, 1024);
            in_->setErrorCallback(&IgnoreRtMidiError, nullptr);
            in_->setCallback(&RtMidiSystem::OnMessage, this);
            // Keep SysEx and timing (clock must pass); active sensing is dropped here.
            in_->ignoreTypes(false, false, true);
        } catch (const RtMidiError&) {
            in_.reset();
        }
        try {
            out_ = std::make_unique<RtMidiOut>(api, kClientName);
            out_->setErrorCallback(&IgnoreRtMidiError, nullptr);
        } catch (const RtMidiError&) {
            out_.reset();
        }
    }
    ~RtMidiSystem() override {
        CloseInput();
        CloseOutput();
    }

    std::string Name() const override { return name_; }
    std::vector<std::string> Sources() override {
        return in_ ? ListPorts(*in_) : std::vector<std::string>{};
    }
    std::vector<std::string> Targets() override {
        return out_ ? ListPorts(*out_) : std::vector<std::string>{};
    }
    std::string VirtualOutputName() override {
        return std::string(kClientName) + ":" + kOutputPortName;
    }
    void Attach(RealtimeEngine* engine) override { engine_.store(engine); }

    bool OpenInput(const std::string& source) override {
        CloseInput();
        if (!in_ || !engine_.load())
            return false;
        const int port = FindPort(*in_, source);
        if (port < 0)
            return false;
        inputOpen_.store(true);
        try {
            in_->openPort(static_cast<unsigned>(port), kInputPortName);
        } catch (const RtMidiError&) {
        }
        if (!in_->isPortOpen()) {
            inputOpen_.store(false);
            return false;
        }
        return true;
    }

    void CloseInput() override {
        if (!inputOpen_.exchange(false))
            return;
        if (in_ && in_->isPortOpen()) {
            try {
                in_->closePort(); // ends RtMidi's input thread: no callback runs after this
            } catch (const RtMidiError&) {
            }
        }
        if (RealtimeEngine* engine = engine_.load())
            engine->InputClosed();
    }

    bool OpenOutput(const std::string& target) override {
        CloseOutput();
        if (!out_)
            return false;
        try {
            if (target == VirtualOutputName()) {
                out_->openVirtualPort(kOutputPortName);
                virtualOpen_ = true;
            } else if (const int port = FindPort(*out_, target); port >= 0) {
                out_->openPort(static_cast<unsigned>(port), kOutputPortName);
            }
        } catch (const RtMidiError&) {
        }
        const bool open = virtualOpen_ || out_->isPortOpen();
        outputOpen_.store(open, std::memory_order_seq_cst);
        return open;
    }

    bool CloseOutput() override {
        outputOpen_.store(false, std::memory_order_seq_cst);
        if (!out_ || (!out_->isPortOpen() && !virtualOpen_))
            return true;
        // Sends are handed over as they are made: nothing waits. A send under way ends
        // before the port goes.
        while (sending_.load(std::memory_order_seq_cst))
            std::this_thread::yield();
        try {
            out_->closePort();
        } catch (const RtMidiError&) {
        }
        virtualOpen_ = false;
        return true;
    }

    void SilenceOutput() override {
        outputOpen_.store(false, std::memory_order_seq_cst);
        while (sending_.load(std::memory_order_seq_cst))
            std::this_thread::yield();
    }

    void Kick() override {
        if (RealtimeEngine* engine = engine_.load())
            engine->Pump(sender_);
    }
    // Sends go out as they are made: waking is all a stop needs.
    void WakeEngine() override { Kick(); }

private:
    class Sender final : public MidiSender {
    public:
        explicit Sender(RtMidiSystem& s) : s_(s) {}
        bool Send(std::span<const std::uint8_t> bytes, std::uint32_t) override {
            s_.sending_.store(true, std::memory_order_seq_cst);
            if (s_.outputOpen_.load(std::memory_order_seq_cst)) {
                try {
                    s_.out_->sendMessage(bytes.data(), bytes.size());
                } catch (const RtMidiError&) {
                }
            }
            s_.sending_.store(false, std::memory_order_release);
            return true;
        }

    private:
        RtMidiSystem& s_;
    };

    // RtMidi's input thread.
    static void OnMessage(double, std::vector<unsigned char>* message, void* user) {
        auto* self = static_cast<RtMidiSystem*>(user);
        RealtimeEngine* engine = self->engine_.load(std::memory_order_acquire);
        if (!engine || !message || message->empty() || !self->inputOpen_.load())
            return;
        engine->Input({message->data(), message->size()}, 0);
        engine->Pump(self->sender_);
    }

    std::string name_;
    std::unique_ptr<RtMidiIn> in_;
    std::unique_ptr<RtMidiOut> out_;
    Sender sender_;
    std::atomic<RealtimeEngine*> engine_{nullptr};
    std::atomic<bool> inputOpen_{false};
    std::atomic<bool> outputOpen_{false};
    std::atomic<bool> sending_{false};
    bool virtualOpen_ = false;
};

void AlsaQuiet(const char*, int, const char*, int, const char*, ...) {}

bool AlsaSequencerOpens() {
    // alsa-lib prints its own line when the device is missing; our status line says it.
    snd_lib_error_set_handler(&AlsaQuiet);
    snd_seq_t* seq = nullptr;
    const bool opened = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) >= 0;
    if (opened)
        snd_seq_close(seq);
    snd_lib_error_set_handler(nullptr);
    return opened;
}

bool Compiled(RtMidi::Api api) {
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

} // namespace

MidiSystemChoice ChooseMidiSystem(MidiApiChoice choice) {
    MidiSystemChoice result;
    const bool wantAlsa = choice != MidiApiChoice::Jack;
    const bool wantJack = choice != MidiApiChoice::Alsa;
    if (wantAlsa && Compiled(RtMidi::LINUX_ALSA) && AlsaSequencerOpens()) {
        result.system = std::make_unique<RtMidiSystem>(RtMidi::LINUX_ALSA, "ALSA");
        result.available = true;
        result.status = "using the ALSA sequencer";
        return result;
    }
    if (wantJack) {
        // The connection made to see whether a server runs is the one Velomire keeps.
        if (auto jack = std::make_unique<JackMidiSystem>(); jack->Alive() || jack->Waiting()) {
            result.available = true;
            result.status = jack->Alive()
                                ? "using JACK"
                                : "using JACK: the server does not answer; waiting for it";
            result.system = std::move(jack);
            return result;
        }
    }
    result.system = std::make_unique<NoMidiSystem>();
    switch (choice) {
    case MidiApiChoice::Alsa:
        result.status = "no MIDI devices: the ALSA sequencer (/dev/snd/seq) cannot be opened";
        break;
    case MidiApiChoice::Jack:
        result.status = "no MIDI devices: no JACK server is running";
        break;
    case MidiApiChoice::Auto:
        result.status = "no MIDI devices: the ALSA sequencer (/dev/snd/seq) cannot be opened "
                        "and no JACK server is running";
        break;
    }
    return result;
}

} // namespace velomire
