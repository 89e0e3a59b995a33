#pragma once

#include "startup/command_line.h"

#include <QString>

#include <optional>

struct xcb_connection_t;

namespace velomire {

// Whether a window can be shown on the platform Qt would pick for this command line and
// environment (-platform, QT_QPA_PLATFORM, XDG_SESSION_TYPE, else X11). Made before
// QApplication exists: when no platform can start, QApplication aborts the process.
class WindowPlatformCheck final {
public:
    explicit WindowPlatformCheck(const CommandLine& cl);
    ~WindowPlatformCheck();
    WindowPlatformCheck(const WindowPlatformCheck&) = delete;
    WindowPlatformCheck& operator=(const WindowPlatformCheck&) = delete;

    // Why not, in one line: no such platform plugin, one that does not load, or no X11 or
    // Wayland display to reach. nullopt when one of the platforms Qt would try can start.
    const std::optional<QString>& Problem() const { return problem_; }

    // Closes the X connection the check made. It is held until QApplication has its own:
    // an X server whose last client leaves resets, and turns new clients away meanwhile.
    void Release();

private:
    std::optional<QString> CannotReachX(const QString& displayOption);

    std::optional<QString> problem_;
    xcb_connection_t* x_ = nullptr;
};

} // namespace velomire
