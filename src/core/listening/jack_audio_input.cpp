#include "core/listening/jack_audio_input.h"

#include "core/midi/realtime_engine.h"

#include <algorithm>
#include <cstring>

namespace velomire {

namespace {
void JackQuiet(const char*) {}

bool OwnPortName(const std::string& name, const std::string& ownClient) {
    return name.rfind(std::string(kClientName) + ":", 0) == 0 ||
           name.rfind(ownClient + ":", 0) == 0;
}
} // namespace

std::unique_ptr<JackAudioInput> JackAudioInput::Open(MidiSystem& midi, const RealtimeEngine& engine,
                                                     std::string& error) {
    auto* jack = dynamic_cast<JackMidiSystem*>(&midi);
    std::unique_ptr<JackAudioInput> input;
    if (jack && jack->ClientForTaps()) {
        input.reset(new JackAudioInput(jack, jack->ClientForTaps(), engine));
    } else {
        // MIDI on ALSA (or a JACK server that went): listening needs a server of its own.
        // libjack would print its failure to reach one; the window says it.
        jack_set_error_function(&JackQuiet);
        jack_set_info_function(&JackQuiet);
        jack_status_t status{};
        jack_client_t* client = jack_client_open(kOwnClientName, JackNoStartServer, &status);
        if (!client) {
            error = "no JACK server is running: listening needs one (JACK, or PipeWire's "
                    "JACK layer)";
            return nullptr;
        }
        input.reset(new JackAudioInput(nullptr, client, engine));
        jack_set_process_callback(client, &JackAudioInput::OnOwnProcess, input.get());
    }
    input->port_ =
        jack_port_register(input->client_, kPortName, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!input->port_) {
        error = "JACK refused the audio input port";
        return nullptr;
    }
    input->ring_.PrepareForRealtime();
    if (input->shared_) {
        input->shared_->SetPeriodTap(input.get());
    } else if (jack_activate(input->client_) != 0) {
        error = "JACK did not start the listening client";
        return nullptr;
    }
    return input;
}

JackAudioInput::JackAudioInput(JackMidiSystem* shared, jack_client_t* client,
                               const RealtimeEngine& engine)
    : shared_(shared), client_(client), engine_(engine), ring_(kRingChunks) {}

JackAudioInput::~JackAudioInput() {
    if (shared_) {
        // A client that went took the port and the tap with it.
        if (shared_->ClientForTaps() == client_) {
            shared_->SetPeriodTap(nullptr);
            if (port_)
                jack_port_unregister(client_, port_);
        }
        return;
    }
    jack_deactivate(client_);
    jack_client_close(client_);
}

bool JackAudioInput::Alive() const {
    return !shared_ || shared_->ClientForTaps() == client_;
}

std::vector<std::string> JackAudioInput::Sources() const {
    std::vector<std::string> names;
    if (!Alive())
        return names;
    const char** ports =
        jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    if (!ports)
        return names;
    const std::string own = jack_get_client_name(client_);
    for (const char** p = ports; *p; ++p)
        if (!OwnPortName(*p, own))
            names.emplace_back(*p);
    jack_free(static_cast<void*>(ports));
    return names;
}

std::string JackAudioInput::PortName() const {
    return port_ ? jack_port_name(port_) : std::string();
}

std::string JackAudioInput::Connected() const {
    if (!port_ || !Alive())
        return {};
    const char** ports = jack_port_get_connections(port_);
    if (!ports)
        return {};
    std::string first = ports[0] ? ports[0] : "";
    jack_free(static_cast<void*>(ports));
    return first;
}

bool JackAudioInput::Connect(const std::string& source) {
    if (!port_ || !Alive())
        return false;
    const std::vector<std::string> now = Sources();
    if (std::find(now.begin(), now.end(), source) == now.end())
        return false;
    jack_port_disconnect(client_, port_);
    return jack_connect(client_, source.c_str(), jack_port_name(port_)) == 0;
}

unsigned JackAudioInput::SampleRate() const {
    return Alive() ? static_cast<unsigned>(jack_get_sample_rate(client_)) : 0;
}

// JACK's real-time thread: a copy, nothing more.
void JackAudioInput::OnPeriod(jack_nframes_t frames) {
    if (!port_ || frames == 0)
        return;
    const auto* samples = static_cast<const float*>(jack_port_get_buffer(port_, frames));
    if (samples)
        ring_.Write(samples, frames, engine_.Strikes());
}

int JackAudioInput::OnOwnProcess(jack_nframes_t frames, void* self) {
    static_cast<JackAudioInput*>(self)->OnPeriod(frames);
    return 0;
}

} // namespace velomire
