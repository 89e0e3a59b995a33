#pragma once

#include <QString>

#include <chrono>

namespace velomire {

class Session;

// The stop signals: SIGTERM, SIGINT, SIGHUP (a closed terminal, a logout), SIGUSR1, SIGUSR2
// and SIGALRM. They are taken by a thread of their own, never by a handler in whatever
// thread they interrupt, so that a stop never waits for the UI thread:
//
// 1. the watched session's MIDI side ends every sounding note and lifts the pedals, from that
//    thread, whatever the UI thread is doing;
// 2. the event loop is asked to end, without closing any window (nothing asks to save), so
//    the caller's own shutdown runs and the process exits with status 0;
// 3. if the UI thread has not left its event loop within kLeaveLimit, or not ended the
//    process within kShutdownLimit after that, the process exits with status 0 anyway.
//
// Further signals are ignored. SIGQUIT keeps its core dump; SIGPIPE is ignored.

// First thing in main, before any thread exists: threads inherit the blocked signals.
void BlockStopSignals();
// Starts the signal thread; once, right after BlockStopSignals.
void StartStopSignals();
// Lets a signal end the event loop; once, after the application object exists.
void QuitOnTerminationSignals();
// True once a stop signal has arrived. A signal taken while a box waits before the main
// loop runs ends only that box, so the caller checks this before entering the loop.
bool TerminationRequested();
// The caller's event loop has ended: its own shutdown is under way.
void EventLoopEnded();

// The session whose sound a stop ends first; nullptr before it goes (waits for a stop under
// way to be done with it).
void StopSoundOf(Session* session);

// Unless WindowShown() is called within `limit` (a display that accepts a connection but
// never answers), the sound is stopped, `line` is printed and the process exits with
// status 1.
void ExpectWindowWithin(std::chrono::milliseconds limit, const QString& line);
void WindowShown();

inline constexpr std::chrono::seconds kLeaveLimit{2};
inline constexpr std::chrono::seconds kShutdownLimit{3};

} // namespace velomire
