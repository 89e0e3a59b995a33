#include "startup/command_line.h"

#include <QDir>

#include <algorithm>
#include <iterator>

namespace velomire {

namespace {
std::optional<MidiApiChoice> ApiFromName(const QString& name) {
    if (name == QLatin1String("alsa"))
        return MidiApiChoice::Alsa;
    if (name == QLatin1String("jack"))
        return MidiApiChoice::Jack;
    return std::nullopt;
}

// Qt's own options, as QGuiApplication, QApplication and the X11 plugin read them. Those
// with a value take the next argument; only the kQtJoined ones also take "-name=value".
constexpr const char* kQtWithValue[] = {"platform",
                                        "platformpluginpath",
                                        "platformtheme",
                                        "plugin",
                                        "qwindowgeometry",
                                        "geometry",
                                        "qwindowtitle",
                                        "title",
                                        "qwindowicon",
                                        "icon",
                                        "session",
                                        "style",
                                        "stylesheet",
                                        "display",
                                        "name",
                                        "visual",
                                        "qmljsdebugger"};
constexpr const char* kQtJoined[] = {"style", "stylesheet", "qmljsdebugger"};
constexpr const char* kQtFlags[] = {"reverse", "testability", "widgetcount", "nograb", "dograb"};

template <std::size_t N, typename Name>
bool Among(const char* const (&names)[N], const Name& name) {
    return std::any_of(std::begin(names), std::end(names),
                       [name](const char* n) { return name == QLatin1String(n); });
}

// When `a` is `option` (or "option=value" and `joined`), takes its value, from the next
// argument if need be, and returns true. An absent or empty value sets `error`.
bool TakeValue(const QString& a, const QStringList& arguments, qsizetype& i, const QString& option,
               bool joined, QString& value, QString& error) {
    if (joined && a.startsWith(option + QLatin1Char('=')))
        value = a.mid(option.size() + 1);
    else if (a == option)
        value = i + 1 < arguments.size() ? arguments[++i] : QString();
    else
        return false;
    if (value.isEmpty())
        error = QStringLiteral("option %1 needs a value").arg(option);
    return true;
}

// Qt's option at `i`, if it is one: Qt reads them with one dash or two.
bool TakeQtOption(const QStringList& arguments, qsizetype& i, CommandLine& cl) {
    const QString& raw = arguments[i];
    const QString a = raw.startsWith(QLatin1String("--")) ? raw.mid(1) : raw;
    if (!a.startsWith(QLatin1Char('-')))
        return false;
    if (Among(kQtFlags, QStringView(a).mid(1)))
        return true;
    for (const char* name : kQtWithValue) {
        QString value;
        if (!TakeValue(a, arguments, i, QStringLiteral("-") + QLatin1String(name),
                       Among(kQtJoined, QLatin1String(name)), value, cl.error))
            continue;
        const QLatin1String n(name);
        if (n == QLatin1String("platform"))
            cl.platform = value;
        else if (n == QLatin1String("platformpluginpath"))
            cl.platformPluginPath = value;
        else if (n == QLatin1String("display"))
            cl.display = value;
        return true;
    }
    return false;
}
} // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine cl;
    for (qsizetype i = 1; i < arguments.size() && cl.error.isEmpty(); ++i) {
        const QString& a = arguments[i];
        QString value;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            cl.help = true;
        } else if (a == QLatin1String("--version") || a == QLatin1String("-v")) {
            cl.version = true;
        } else if (a == QLatin1String("--use-data-folder")) {
            cl.useDataFolder = true;
        } else if (TakeValue(a, arguments, i, QStringLiteral("--midi-api"), true, value,
                             cl.error)) {
            if (const auto api = ApiFromName(value))
                cl.midiApi = *api;
            else if (cl.error.isEmpty())
                cl.error = QStringLiteral("unknown MIDI system '%1' (use alsa or jack)").arg(value);
        } else if (!TakeValue(a, arguments, i, QStringLiteral("--headless"), true, cl.headless,
                              cl.error) &&
                   !TakeQtOption(arguments, i, cl)) {
            cl.error = QStringLiteral("unknown option '%1'").arg(a);
        }
    }
    return cl;
}

QString DataFolder(const QString& xdgDataHome, const QString& home) {
    // Only absolute paths: QStandardPaths would fall back to "/" for an empty HOME.
    if (xdgDataHome.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(xdgDataHome + QStringLiteral("/velomire"));
    if (home.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(home + QStringLiteral("/.local/share/velomire"));
    return {};
}

bool EnterDataFolder(QString* error) {
    const QString folder =
        DataFolder(qEnvironmentVariable("XDG_DATA_HOME"), qEnvironmentVariable("HOME"));
    if (folder.isEmpty()) {
        *error = QStringLiteral(
            "no per-user data folder: neither XDG_DATA_HOME nor HOME is an absolute path");
        return false;
    }
    if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) {
        *error = QStringLiteral("cannot use the data folder %1").arg(folder);
        return false;
    }
    return true;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: velomire [options]\n"
        "Reshapes a MIDI keyboard's touch response key by key, between the keyboard and a\n"
        "sound generator.\n"
        "\n"
        "Options:\n"
        "  --midi-api alsa|jack  MIDI system to use. Default: ALSA when its sequencer\n"
        "                        opens, else JACK when a server is running.\n"
        "  --headless NAME       Run the setting cfg/NAME.vmc with no window (stage box).\n"
        "  --use-data-folder     Work in $XDG_DATA_HOME/velomire (or, without it,\n"
        "                        $HOME/.local/share/velomire; created when missing)\n"
        "                        instead of the current folder; the desktop entry uses it.\n"
        "  -h, --help            Show this help and exit.\n"
        "  -v, --version         Show the version and exit.\n"
        "\n"
        "Qt's own options (-platform NAME, -display DISPLAY, -style STYLE, ...) are\n"
        "accepted too; with --headless they are ignored.\n"
        "Settings are kept in the folder cfg under the working directory.\n"
        "SIGTERM, SIGINT and SIGHUP end Velomire cleanly: sounding notes are released.\n"
        "\n"
        "Exit status: 0 done, 1 failed (no window could be shown, setting missing, ...),\n"
        "2 wrong arguments.\n");
}

QString VersionText() {
    return QStringLiteral("velomire " VELOMIRE_VERSION "\n");
}

} // namespace velomire
