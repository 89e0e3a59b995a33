#include "midi/rtmidi_backend.h"

#include "midi/jack_midi.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>

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

class RtInput final : public MidiInputBackend {
public:
    explicit RtInput(RtMidi::Api api) {
        try {
            in_ = std::make_unique<RtMidiIn>(api, kClientName, 1024);
            in_->setErrorCallback(&IgnoreRtMidiError, nullptr);
            in_->setCallback(&RtInput::OnMessage, this);
            // Keep SysEx and timing (clock must pass); active sensing is filtered above us
            // anyway, dropping it here saves the queue.
            in_->ignoreTypes(false, false, true);
        } catch (const RtMidiError&) {
            in_.reset();
        }
    }
    ~RtInput() override { Close(); }

    std::vector<std::string> DeviceNames() override {
        names_ = in_ ? ListPorts(*in_) : std::vector<std::string>{};
        return names_;
    }

    bool Open(int index, MidiInputSink* sink) override {
        Close();
        if (!in_ || index < 0 || index >= static_cast<int>(names_.size()))
            return false;
        const int port = FindPort(*in_, names_[static_cast<std::size_t>(index)]);
        if (port < 0)
            return false;
        sink_ = sink;
        try {
            in_->openPort(static_cast<unsigned>(port), kInputPortName);
        } catch (const RtMidiError&) {
        }
        if (!in_->isPortOpen()) {
            sink_ = nullptr;
            return false;
        }
        return true;
    }

    void Close() override {
        if (in_ && in_->isPortOpen()) {
            try {
                in_->closePort();
            } catch (const RtMidiError&) {
            }
        }
        sink_ = nullptr;
    }

private:
    // MIDI thread.
    static void OnMessage(double, std::vector<unsigned char>* message, void* user) {
        auto* self = static_cast<RtInput*>(user);
        MidiInputSink* sink = self->sink_.load(std::memory_order_acquire);
        if (sink && message && !message->empty())
            sink->OnMidiBytes(message->data(), message->size());
    }

    std::unique_ptr<RtMidiIn> in_;
    std::vector<std::string> names_;
    std::atomic<MidiInputSink*> sink_{nullptr};
};

class RtOutput final : public MidiOutputBackend {
public:
    explicit RtOutput(RtMidi::Api api) {
        try {
            out_ = std::make_unique<RtMidiOut>(api, kClientName);
            out_->setErrorCallback(&IgnoreRtMidiError, nullptr);
        } catch (const RtMidiError&) {
            out_.reset();
        }
    }
    ~RtOutput() override { Close(); }

    std::vector<std::string> DeviceNames() override {
        names_ = out_ ? ListPorts(*out_) : std::vector<std::string>{};
        return names_;
    }

    bool Open(int index) override {
        Close();
        if (!out_)
            return false;
        try {
            if (index == -1) {
                out_->openVirtualPort(kOutputPortName);
                virtualOpen_ = true;
                return true;
            }
            if (index < 0 || index >= static_cast<int>(names_.size()))
                return false;
            const int port = FindPort(*out_, names_[static_cast<std::size_t>(index)]);
            if (port < 0)
                return false;
            out_->openPort(static_cast<unsigned>(port), kOutputPortName);
        } catch (const RtMidiError&) {
        }
        return out_->isPortOpen();
    }

    void Close() override {
        if (out_ && (out_->isPortOpen() || virtualOpen_)) {
            try {
                out_->closePort();
            } catch (const RtMidiError&) {
            }
        }
        virtualOpen_ = false;
    }

    void Send(const std::uint8_t* data, std::size_t size) override {
        if (!out_)
            return;
        try {
            out_->sendMessage(data, size);
        } catch (const RtMidiError&) {
        }
    }

    std::string VirtualPortName() override {
        return std::string(kClientName) + ":" + kOutputPortName;
    }

private:
    std::unique_ptr<RtMidiOut> out_;
    std::vector<std::string> names_;
    bool virtualOpen_ = false;
};

class RtMidiSystem final : public MidiSystem {
public:
    RtMidiSystem(RtMidi::Api api, std::string name) : api_(api), name_(std::move(name)) {}
    std::unique_ptr<MidiInputBackend> CreateInput() override {
        return std::make_unique<RtInput>(api_);
    }
    std::unique_ptr<MidiOutputBackend> CreateOutput() override {
        return std::make_unique<RtOutput>(api_);
    }
    std::string Name() const override { return name_; }

private:
    RtMidi::Api api_;
    std::string name_;
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
        if (auto client = std::make_unique<JackClient>(); client->Alive()) {
            result.system = std::make_unique<JackMidiSystem>(std::move(client));
            result.available = true;
            result.status = "using JACK";
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
