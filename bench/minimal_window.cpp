// The baseline for start-up time and memory: a Qt application with one plain widget the
// size of Velomire's window. Prints "first-paint <monotonic ns>" when its first paint
// begins, on the clock the start-up benchmark stamps its exec with.
//
// --text adds one line of text, which makes Qt load its fonts: that cost is in every
// real window, and the plain widget never pays it.
//
// --jack also opens one JACK client with one MIDI input and one MIDI output port and
// activates it, as any JACK MIDI program must: libjack maps the server's shared segments
// into the process and locks them, which dwarfs everything else in its memory. The client
// opens on a thread of its own while Qt starts, and the window is shown once it is open,
// as a MIDI program shows its window with its device lists filled: the lowest a program
// with both can go. Fails when no server runs.
//
// --jack-late shows the window first and waits for the client after: the window is mapped
// early but drawn only once the client is open.
#include <QApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>

namespace {

class Window final : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override {
        if (!painted_) {
            painted_ = true;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("first-paint %lld\n",
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
        }
        QPainter p(this);
        p.fillRect(rect(), palette().window());
    }

private:
    bool painted_ = false;
};

struct JackClient {
    jack_client_t* client = nullptr;
    jack_port_t* in = nullptr;
    jack_port_t* out = nullptr;
};

// Passes nothing on; an output buffer must still be cleared every period.
int Process(jack_nframes_t frames, void* arg) {
    auto* c = static_cast<JackClient*>(arg);
    jack_midi_clear_buffer(jack_port_get_buffer(c->out, frames));
    return 0;
}

bool OpenJack(JackClient& c) {
    jack_status_t status{};
    c.client = jack_client_open("minimal", JackNoStartServer, &status);
    if (!c.client)
        return false;
    c.in = jack_port_register(c.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    c.out = jack_port_register(c.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    return c.in && c.out && jack_set_process_callback(c.client, &Process, &c) == 0 &&
           jack_activate(c.client) == 0;
}

} // namespace

int main(int argc, char** argv) {
    bool text = false;
    bool late = false;
    bool jack = false;
    for (int i = 1; i < argc; ++i) {
        text = text || std::strcmp(argv[i], "--text") == 0;
        late = late || std::strcmp(argv[i], "--jack-late") == 0;
        jack = jack || late || std::strcmp(argv[i], "--jack") == 0;
    }
    JackClient client;
    std::future<bool> jackOpen;
    if (jack)
        jackOpen = std::async(std::launch::async, &OpenJack, std::ref(client));

    QApplication app(argc, argv);
    Window window;
    window.setWindowTitle(QStringLiteral("minimal"));
    window.setFixedSize(725, 358);
    if (text)
        (new QLabel(QStringLiteral("Velocity curve of the active key"), &window))->move(10, 10);
    if (late || !jack)
        window.show();
    if (jack && !jackOpen.get()) {
        std::fprintf(stderr, "minimal: cannot open a JACK client\n");
        return 1;
    }
    if (jack && !late)
        window.show();
    const int status = QApplication::exec();
    if (client.client)
        jack_client_close(client.client);
    return status;
}
