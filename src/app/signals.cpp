#include "app/signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace velomire {

namespace {
int g_wake[2] = {-1, -1};             // written by the handler, read by the event loop
std::atomic<bool> g_signalled{false}; // lock-free, so the handler may use it
bool g_requested = false;

// Signal handler: only async-signal-safe calls.
void OnTermination(int) {
    if (g_signalled.exchange(true))
        return;
    ::alarm(kShutdownLimitSeconds);
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_wake[0], &c, 1);
}

void OnShutdownTooLong(int) {
    static constexpr char kLine[] = "velomire: shutdown did not end in time; exiting\n";
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, kLine, sizeof kLine - 1);
    ::_exit(1);
}

void Handle(int signal, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signal, &sa, nullptr);
}
} // namespace

void QuitOnTerminationSignals() {
    if (g_wake[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_wake) != 0)
        return;
    QCoreApplication* app = QCoreApplication::instance();
    auto* notifier = new QSocketNotifier(g_wake[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        char c = 0;
        [[maybe_unused]] const auto n = ::read(g_wake[1], &c, 1);
        notifier->setEnabled(false);
        g_requested = true;
        // exit, not quit: Qt 6's quit first closes every window, and a window with unsaved
        // changes would ask what to do with them.
        QCoreApplication::exit(0);
    });
    Handle(SIGALRM, &OnShutdownTooLong);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        Handle(signal, &OnTermination);
}

bool TerminationRequested() {
    return g_requested;
}

} // namespace velomire
