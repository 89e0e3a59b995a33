// The session's devices, followed by name as they come and go, and the stop.

#include "session/session.h"

#include "session/listening.h"

#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace velomire {

namespace {
constexpr std::uint8_t kLocalControlOff[3] = {0xB0, 122, 0};
// How long the UI waits for the MIDI side to run a command: a few periods normally; a
// server that stopped answering must not hold up a device change or a stop for longer.
constexpr auto kCommandTimeout = std::chrono::milliseconds(500);
} // namespace

// ---- Devices ----

void Session::SendLocalControlOff() {
    // Local Control Off on channel 1: the instrument stops sounding its own keys and plays
    // only what arrives through Velomire.
    engine_->Post(RealtimeEngine::Command::Send, kLocalControlOff);
    midi().Kick();
}

bool Session::RunCommand(RealtimeEngine::Command command, std::span<const std::uint8_t> bytes) {
    const std::uint64_t ticket = engine_->Post(command, bytes);
    if (ticket == 0)
        return false;
    midi().Kick();
    const auto deadline = std::chrono::steady_clock::now() + kCommandTimeout;
    while (engine_->CommandsRun() < ticket) {
        if (std::chrono::steady_clock::now() >= deadline || !midi().Alive())
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool Session::OpenPort(Direction d, const std::string& name) {
    if (d == Direction::Input)
        return midi().OpenInput(name);
    if (!midi().OpenOutput(name))
        return false;
    // An instrument that is back may still hold what sounded when it could not be reached:
    // the pedal tail where notes and pedals went, before anything else.
    engine_->Post(RealtimeEngine::Command::Tail);
    midi().Kick();
    return true;
}

void Session::ClosePort(Direction d) {
    if (d == Direction::Input)
        midi().CloseInput();
    else
        midi().CloseOutput();
}

void Session::EndHeldNotes() {
    if (out_.state == DeviceState::Open)
        RunCommand(RealtimeEngine::Command::ReleaseAll);
    else
        ForgetHeldNotes();
}

void Session::ForgetHeldNotes() {
    InterruptListening(QStringLiteral("the MIDI output went"));
    engine_->Post(RealtimeEngine::Command::Forget);
    midi().Kick();
}

bool Session::Choose(Direction d, const std::string& name) {
    Want(d, name);
    if (name.empty())
        return true;
    PortChoice& p = d == Direction::Input ? in_ : out_;
    const bool ok = OpenPort(d, name);
    p.state = ok ? DeviceState::Open : DeviceState::Failed;
    return ok;
}

bool Session::ChooseInput(const std::string& name) {
    const bool ok = Choose(Direction::Input, name);
    SendLocalControlOff();
    Q_EMIT DevicesChanged();
    return ok;
}

bool Session::ChooseOutput(const std::string& name) {
    const bool ok = Choose(Direction::Output, name);
    Q_EMIT DevicesChanged();
    return ok;
}

void Session::Want(Direction d, const std::string& name) {
    PortChoice& p = d == Direction::Input ? in_ : out_;
    if (d == Direction::Output)
        InterruptListening(QStringLiteral("another MIDI output was chosen"));
    // Notes held now can only be ended where they went, and the input's old keyboard will
    // never send their note-offs; a pedal held there would keep them sounding.
    if (p.state == DeviceState::Open)
        EndHeldNotes();
    // The old device goes first (the output lets what was just sent leave).
    if (p.state != DeviceState::Off)
        ClosePort(d);
    p.name = name;
    p.state = name.empty() ? DeviceState::Off : DeviceState::Pending;
}

void Session::FollowDevices(int ms) {
    follow_.start(ms);
    LookAtDevices();
}

namespace {
QString WithoutPortNumbers(const QString& name) {
    static const QRegularExpression kNumbers(QStringLiteral("\\s+\\d+:\\d+\\s*$"));
    return TrimSpaces(QString(name).remove(kNumbers));
}

QString Quoted(const std::string& s) {
    return velomire::Quoted(QString::fromStdString(s));
}
} // namespace

// One direction's share of a look: a chosen device that has gone is closed, one that is
// back (or failed before) is opened. True when it has just been opened.
bool Session::Follow(Direction d, const std::vector<std::string>& present) {
    PortChoice& p = d == Direction::Input ? in_ : out_;
    if (p.name.empty())
        return false;
    const QString kind = d == Direction::Input ? QStringLiteral("input") : QStringLiteral("output");
    // By name; failing that, by name without the numbers an ALSA port is listed with
    // ("Keys MIDI 1 24:0"), which change when a device is plugged in again.
    const QString wanted = TrimSpaces(QString::fromStdString(p.name));
    auto found = std::find_if(present.begin(), present.end(), [&](const std::string& n) {
        return TrimSpaces(QString::fromStdString(n)) == wanted;
    });
    if (found == present.end())
        found = std::find_if(present.begin(), present.end(), [&](const std::string& n) {
            return WithoutPortNumbers(QString::fromStdString(n)) == WithoutPortNumbers(wanted);
        });
    if (found == present.end()) {
        if (p.state == DeviceState::Missing)
            return false;
        if (p.state == DeviceState::Open) {
            ClosePort(d);
            // What the keyboard held can never be ended by it; what the instrument held can
            // no longer be reached, and is ended when it is back.
            if (d == Direction::Input)
                EndHeldNotes();
            else
                ForgetHeldNotes();
            p.state = DeviceState::Missing;
            Q_EMIT DeviceNews(
                QStringLiteral("%1 %2 disappeared; waiting for it").arg(kind, Quoted(p.name)));
        } else {
            QStringList names;
            for (const std::string& n : present)
                if (n != midi().VirtualOutputName())
                    names << QString::fromStdString(n);
            Q_EMIT DeviceNews(QStringLiteral("%1 %2 not present (present: %3); waiting for it")
                                  .arg(kind, Quoted(p.name),
                                       names.isEmpty() ? QStringLiteral("none")
                                                       : names.join(QStringLiteral(", "))));
        }
        p.state = DeviceState::Missing;
        return false;
    }
    if (p.state == DeviceState::Open)
        return false;
    const bool ok = OpenPort(d, *found);
    if (ok) {
        p.name = *found; // what it is called now (its port numbers may be new)
        Q_EMIT DeviceNews(QStringLiteral("%1 %2 opened").arg(kind, Quoted(p.name)));
    } else if (p.state != DeviceState::Failed) {
        Q_EMIT DeviceNews(
            QStringLiteral("%1 %2 failed to open; retrying").arg(kind, Quoted(p.name)));
    }
    p.state = ok ? DeviceState::Open : DeviceState::Failed;
    return ok;
}

void Session::LookAtDevices() {
    if (stopped_)
        return;
    if (!lookedOnce_) {
        lookedOnce_ = true;
        midi().WatchDevices([this] { LookAtDevices(); });
        // A server that runs but does not answer yet is waited for, not reported gone.
        if (midi().Waiting()) {
            midiAlive_ = false;
            Q_EMIT DeviceNews(QStringLiteral("the MIDI server does not answer; waiting for it"));
        }
    }
    const bool wasAlive = midiAlive_;
    // A system that is not alive went away, even when Revive brings it back at once (it
    // may have come back since the last look): its ports went with it either way.
    const bool replaced = !midi().Alive();
    midiAlive_ = !replaced || midi().Revive();
    if (replaced) {
        bool held = false;
        for (PortChoice* p : {&in_, &out_}) {
            held = held || p->state == DeviceState::Open;
            if (p->state == DeviceState::Open)
                p->state = DeviceState::Missing;
        }
        // Nothing can be sent: the keys go dark, and the tail follows the output's return.
        if (held)
            ForgetHeldNotes();
        if (wasAlive)
            Q_EMIT DeviceNews(QStringLiteral("the MIDI system has stopped; waiting for it"));
        if (midiAlive_)
            Q_EMIT DeviceNews(QStringLiteral("the MIDI system is back"));
    }
    std::vector<std::string> sources = midi().Sources();
    std::vector<std::string> targets = midi().Targets();
    if (midiAlive_)
        targets.insert(targets.begin(), midi().VirtualOutputName());
    const DeviceState inBefore = in_.state;
    const DeviceState outBefore = out_.state;
    const bool outputBack = midiAlive_ && Follow(Direction::Output, targets);
    const bool inputBack = midiAlive_ && Follow(Direction::Input, sources);
    if (!midiAlive_) {
        Follow(Direction::Output, {});
        Follow(Direction::Input, {});
    }
    // The instrument plays only what comes through Velomire once it can hear us again.
    if (outputBack || inputBack)
        SendLocalControlOff();
    const bool listsChanged = sources != sources_ || targets != targets_;
    sources_ = std::move(sources);
    targets_ = std::move(targets);
    if (listsChanged || inBefore != in_.state || outBefore != out_.state || wasAlive != midiAlive_)
        Q_EMIT DevicesChanged();
    ReportLosses();
}

void Session::Panic() {
    InterruptListening(QStringLiteral("Notes OFF"));
    engine_->Post(RealtimeEngine::Command::Panic);
    midi().Kick();
}

bool Session::SilenceForStop(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    engine_->RequestStop();
    midi_.WakeEngine();
    while (!engine_->StopDone() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (!engine_->StopDone())
        return false;
    midi_.AwaitSent(std::chrono::duration_cast<std::chrono::milliseconds>(std::max(
        deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{})));
    return true;
}

Session::StopReport Session::Shutdown() {
    if (stopped_)
        return stopReport_;
    stopped_ = true;
    follow_.stop();
    InterruptListening(QStringLiteral("Velomire is stopping"));
    StopReport& report = stopReport_;
    report.outputOpen = out_.state == DeviceState::Open;
    // The same stop a signal's thread may have begun: whoever asks first, it runs once.
    engine_->RequestStop();
    midi().Kick();
    const auto deadline = std::chrono::steady_clock::now() + kCommandTimeout;
    while (!engine_->StopDone() && std::chrono::steady_clock::now() < deadline && midi().Alive())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const bool ran = engine_->StopDone();
    report.released = ran ? engine_->StopReleased() : engine_->Sounding();
    report.pedals = ran ? engine_->StopPedals() : engine_->PedalsHeld();
    // The MIDI side did not run in time: what it was not given must not arrive later.
    if (!ran)
        midi().SilenceOutput();
    // The output first: it lets what was just sent leave before it goes.
    const bool left = midi().CloseOutput() && ran && report.outputOpen;
    report.left = left ? report.released : 0;
    report.pedalsLifted = left ? report.pedals : 0;
    midi().CloseInput();
    in_.state = in_.name.empty() ? DeviceState::Off : DeviceState::Missing;
    out_.state = out_.name.empty() ? DeviceState::Off : DeviceState::Missing;
    DrainReadouts();
    ReportLosses();
    return report;
}

namespace {
QString Plural(int n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}
} // namespace

QString Session::DescribeStop(const StopReport& r) {
    QStringList said;
    if (r.left > 0 || r.left == r.released)
        said << Plural(r.left, "sounding note released", "sounding notes released");
    const QString why = r.outputOpen ? QStringLiteral("the MIDI server did not answer")
                                     : QStringLiteral("no output is open");
    if (r.left < r.released)
        said << Plural(r.released - r.left, "note-off", "note-offs") +
                    QStringLiteral(" could not be sent: ") + why;
    if (r.pedalsLifted < r.pedals)
        said << (r.pedals - r.pedalsLifted == 1
                     ? QStringLiteral("the pedal")
                     : QStringLiteral("%1 pedals").arg(r.pedals - r.pedalsLifted)) +
                    QStringLiteral(" could not be lifted: ") + why;
    return said.join(QStringLiteral("; "));
}

void Session::DrainReadouts() {
    if (engine_->WakeFd() >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(engine_->WakeFd(), &count, sizeof count);
    }
    engine_->DrainReadouts([this](const Readout& r) {
        if (r.kind == Readout::Kind::Sounding)
            Q_EMIT KeySounding(r.in, r.out, r.velocity, r.mapped);
        else
            Q_EMIT KeyReleased(r.out);
    });
}

QString Session::Describe(const RealtimeEngine::Losses& l) {
    QStringList parts;
    auto add = [&](std::uint64_t n, const char* what) {
        if (n > 0)
            parts << QStringLiteral("%1 %2").arg(n).arg(QLatin1String(what));
    };
    add(l.inputFull, "messages dropped (the input queue was full)");
    add(l.sysexNoRoom, "SysEx messages dropped (too long, or no room left to wait)");
    add(l.sysexIncomplete, "incomplete SysEx messages dropped");
    add(l.outputFull, "messages dropped (the output queue was full)");
    return parts.join(QStringLiteral(", "));
}

// Said once, at the first loss: a flood repeats it thousands of times a second.
void Session::ReportLosses() {
    if (lossReported_)
        return;
    const RealtimeEngine::Losses losses = engine_->CountLosses();
    if (!losses.Any())
        return;
    lossReported_ = true;
    // Said by the front end, once: the stage box's log, the window's stderr.
    Q_EMIT MessagesLost(QStringLiteral("MIDI data lost: %1").arg(Describe(losses)));
}

} // namespace velomire
