#include "app/command_line.h"

#include <QDir>
#include <QStandardPaths>

namespace velomire {

namespace {
std::optional<MidiApiChoice> ApiFromName(const QString& name) {
    if (name == QLatin1String("alsa"))
        return MidiApiChoice::Alsa;
    if (name == QLatin1String("jack"))
        return MidiApiChoice::Jack;
    return std::nullopt;
}
} // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine cl;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        QString value;
        const auto takeValue = [&](const QString& option) -> bool {
            if (a.startsWith(option + QLatin1Char('='))) {
                value = a.mid(option.size() + 1);
                return true;
            }
            if (a == option) {
                if (i + 1 >= arguments.size()) {
                    cl.error = QStringLiteral("option %1 needs a value").arg(option);
                    return false;
                }
                value = arguments[++i];
                return true;
            }
            return false;
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            cl.help = true;
        } else if (a == QLatin1String("--version") || a == QLatin1String("-v")) {
            cl.version = true;
        } else if (a == QLatin1String("--use-data-folder")) {
            cl.useDataFolder = true;
        } else if (takeValue(QStringLiteral("--midi-api"))) {
            const auto api = ApiFromName(value);
            if (!api) {
                cl.error = QStringLiteral("unknown MIDI system '%1' (use alsa or jack)").arg(value);
                return cl;
            }
            cl.midiApi = *api;
        } else if (takeValue(QStringLiteral("--headless"))) {
            cl.headless = value;
        } else if (!cl.error.isEmpty()) {
            return cl;
        } else {
            cl.error = QStringLiteral("unknown option '%1'").arg(a);
            return cl;
        }
        if (!cl.error.isEmpty())
            return cl;
    }
    return cl;
}

bool EnterDataFolder(QString* error) {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) {
        *error = QStringLiteral("no per-user data folder is known (is HOME set?)");
        return false;
    }
    const QString folder = base + QStringLiteral("/velomire");
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
        "  --headless NAME       Run the setting cfg/NAME.vmc with no window (stage box);\n"
        "                        SIGINT or SIGTERM end it cleanly.\n"
        "  --use-data-folder     Work in $XDG_DATA_HOME/velomire (created when missing)\n"
        "                        instead of the current folder; the desktop entry uses it.\n"
        "  -h, --help            Show this help and exit.\n"
        "  -v, --version         Show the version and exit.\n"
        "\n"
        "Qt's own options (-platform, -style, ...) are accepted as well.\n"
        "Settings are kept in the folder cfg under the working directory.\n");
}

QString VersionText() {
    return QStringLiteral("velomire " VELOMIRE_VERSION "\n");
}

} // namespace velomire
