#include "startup/signals.h"

#include "session/session.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace velomire {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM};
// How long the signal's thread waits for the MIDI side to end what sounds.
constexpr std::chrono::milliseconds kSilenceLimit{1000};

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kStopSignals)
        sigaddset(&set, s);
    return set;
}

// Shared by the signal thread and the UI thread; never freed, as the signal thread may
// still use it while the process ends.
struct Shared {
    std::mutex sessionMutex; // held while a stop uses the session
    Session* session = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    bool loopEnded = false;
    bool windowShown = false;
    std::optional<std::chrono::steady_clock::time_point> windowDeadline;
    std::string windowLine;
};
Shared& State() {
    static Shared* const shared = new Shared;
    return *shared;
}

int g_wake[2] = {-1, -1}; // written by the signal thread, read by the event loop
std::atomic<bool> g_requested{false};

void Say(const std::string& line) {
    const std::string text = "velomire: " + line + "\n";
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, text.data(), text.size());
}

// True when nothing sounds any more (or nothing was watched).
bool SilenceSound(std::chrono::milliseconds limit) {
    std::lock_guard lock(State().sessionMutex);
    return !State().session || State().session->SilenceForStop(limit);
}

[[noreturn]] void Stop() {
    g_requested.store(true);
    const bool silenced = SilenceSound(kSilenceLimit);
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_wake[0], &c, 1);
    Shared& s = State();
    std::unique_lock lock(s.mutex);
    const bool left = s.changed.wait_for(lock, kLeaveLimit, [&] { return s.loopEnded; });
    if (left)
        s.changed.wait_for(lock, kShutdownLimit, [] { return false; });
    Say(left ? "shutdown did not end in time; exiting"
             : "the window did not stop in time; exiting without it");
    if (!silenced)
        Say("what was sounding could not be ended: the MIDI server did not answer");
    ::_exit(0);
}

void Run() {
    const sigset_t set = StopSet();
    for (;;) {
        std::chrono::milliseconds wait{1000};
        {
            Shared& s = State();
            std::unique_lock lock(s.mutex);
            if (s.windowDeadline && !s.windowShown) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= *s.windowDeadline) {
                    const std::string line = s.windowLine;
                    lock.unlock();
                    SilenceSound(kSilenceLimit);
                    Say(line);
                    ::_exit(1);
                }
                wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          *s.windowDeadline - now) +
                                          std::chrono::milliseconds(1));
            }
        }
        const timespec timeout{static_cast<time_t>(wait.count() / 1000),
                               static_cast<long>(wait.count() % 1000) * 1000000L};
        if (::sigtimedwait(&set, nullptr, &timeout) > 0)
            Stop();
    }
}

} // namespace

void BlockStopSignals() {
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void StartStopSignals() {
    if (g_wake[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_wake) != 0)
        return;
    std::thread(&Run).detach();
}

void QuitOnTerminationSignals() {
    if (g_wake[1] < 0)
        return;
    QCoreApplication* app = QCoreApplication::instance();
    auto* notifier = new QSocketNotifier(g_wake[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        char c = 0;
        [[maybe_unused]] const auto n = ::read(g_wake[1], &c, 1);
        notifier->setEnabled(false);
        // exit, not quit: Qt 6's quit first closes every window, and a window with unsaved
        // changes would ask what to do with them.
        QCoreApplication::exit(0);
    });
}

bool TerminationRequested() {
    return g_requested.load();
}

void EventLoopEnded() {
    Shared& s = State();
    std::lock_guard lock(s.mutex);
    s.loopEnded = true;
    s.changed.notify_all();
}

void StopSoundOf(Session* session) {
    std::lock_guard lock(State().sessionMutex);
    State().session = session;
}

void ExpectWindowWithin(std::chrono::milliseconds limit, const QString& line) {
    Shared& s = State();
    std::lock_guard lock(s.mutex);
    s.windowDeadline = std::chrono::steady_clock::now() + limit;
    s.windowLine = line.toStdString();
}

void WindowShown() {
    Shared& s = State();
    std::lock_guard lock(s.mutex);
    s.windowShown = true;
}

} // namespace velomire
