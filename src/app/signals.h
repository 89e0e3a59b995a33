#pragma once

namespace velomire {

// Lets SIGTERM, SIGINT and SIGHUP (a closed terminal, a logout) end the event loop, so the
// caller's own shutdown runs (held notes released, ports closed) and the process exits with
// status 0. It ends the loop without closing any window, so nothing asks to save. Further
// signals are ignored, so they cannot cut a shutdown short; a shutdown that has not ended
// kShutdownLimitSeconds after the first signal ends the process with status 1.
// Call once, after the application object exists. SIGQUIT keeps its core dump.
void QuitOnTerminationSignals();

// True once one of those signals has arrived. A signal taken while a box waits before the
// main loop runs ends only that box, so the caller checks this before entering the loop.
bool TerminationRequested();

inline constexpr unsigned kShutdownLimitSeconds = 5;

} // namespace velomire
