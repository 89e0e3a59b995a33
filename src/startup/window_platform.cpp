#include "startup/window_platform.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QMap>
#include <QPluginLoader>

#include <xcb/xcb.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace velomire {

namespace {

// Qt's own order: -platform, QT_QPA_PLATFORM, the session type, then the default it was
// built with (X11 on Debian). Entries of a ';' list are tried in turn; ':' adds options.
QString PlatformList(const CommandLine& cl) {
    if (!cl.platform.isEmpty())
        return cl.platform;
    if (const QString env = qEnvironmentVariable("QT_QPA_PLATFORM"); !env.isEmpty())
        return env;
    const QString desktops =
        (qEnvironmentVariable("XDG_CURRENT_DESKTOP") + qEnvironmentVariable("XDG_SESSION_DESKTOP"))
            .toLower();
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") &&
        !desktops.contains(QLatin1String("gnome")))
        return QStringLiteral("wayland;xcb");
    return QStringLiteral("xcb");
}

// Platform plugin files by the (lower-case) names they serve, read from their metadata
// without loading them; the first folder that has a name wins, as in Qt's loader.
QMap<QString, QString> PlatformPlugins(const CommandLine& cl) {
    QStringList folders;
    const QString given = cl.platformPluginPath.isEmpty()
                              ? qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH")
                              : cl.platformPluginPath;
    if (!given.isEmpty())
        folders << given;
    for (const QString& path :
         qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders << path + QStringLiteral("/platforms");
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");

    QMap<QString, QString> plugins;
    for (const QString& folder : folders) {
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files)) {
            const QJsonObject meta = QPluginLoader(file.absoluteFilePath()).metaData();
            if (!meta.value(QLatin1String("IID"))
                     .toString()
                     .contains(QLatin1String("QPlatformIntegrationFactoryInterface")))
                continue;
            const QJsonArray keys = meta.value(QLatin1String("MetaData"))
                                        .toObject()
                                        .value(QLatin1String("Keys"))
                                        .toArray();
            for (const QJsonValue& key : keys) {
                const QString name = key.toString().toLower();
                if (!plugins.contains(name))
                    plugins.insert(name, file.absoluteFilePath());
            }
        }
    }
    return plugins;
}

std::optional<QString> CannotReachWayland() {
    if (qEnvironmentVariableIsSet("WAYLAND_SOCKET")) // a connection handed down, not a name
        return std::nullopt;
    QString path = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    if (!path.startsWith(QLatin1Char('/'))) {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (runtime.isEmpty())
            return QStringLiteral("no Wayland display (XDG_RUNTIME_DIR is not set)");
        path = runtime + QLatin1Char('/') + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray file = QFile::encodeName(path);
    bool reached = false;
    if (static_cast<std::size_t>(file.size()) < sizeof address.sun_path) {
        std::memcpy(address.sun_path, file.constData(), static_cast<std::size_t>(file.size()));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        reached = fd >= 0 &&
                  ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0)
            ::close(fd);
    }
    if (!reached)
        return QStringLiteral("cannot connect to the Wayland display '%1'").arg(path);
    return std::nullopt;
}

} // namespace

std::optional<QString> WindowPlatformCheck::CannotReachX(const QString& displayOption) {
    const QByteArray name =
        displayOption.isEmpty() ? qgetenv("DISPLAY") : displayOption.toLocal8Bit();
    if (name.isEmpty())
        return QStringLiteral("no X display (DISPLAY is not set)");
    Release();
    x_ = xcb_connect(name.constData(), nullptr);
    if (xcb_connection_has_error(x_) != 0) {
        Release();
        return QStringLiteral("cannot connect to the X display '%1'")
            .arg(QString::fromLocal8Bit(name));
    }
    return std::nullopt;
}

WindowPlatformCheck::WindowPlatformCheck(const CommandLine& cl) {
    const QMap<QString, QString> plugins = PlatformPlugins(cl);
    QStringList reasons;
    for (const QString& entry : PlatformList(cl).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = entry.section(QLatin1Char(':'), 0, 0).toLower();
        if (name.isEmpty())
            continue;
        const QString file = plugins.value(name);
        if (file.isEmpty()) {
            reasons << QStringLiteral("no Qt platform plugin '%1' (there are: %2)")
                           .arg(name, plugins.keys().join(QLatin1String(", ")));
            continue;
        }
        // A library it needs that is missing shows here; QApplication later finds it mapped.
        QPluginLoader loader(file);
        std::optional<QString> reason;
        if (!loader.load())
            reason = QStringLiteral("Qt's platform plugin '%1' does not load: %2")
                         .arg(name, loader.errorString());
        else if (name == QLatin1String("xcb"))
            reason = CannotReachX(cl.display);
        else if (name.startsWith(QLatin1String("wayland")))
            reason = CannotReachWayland();
        if (!reason)
            return;
        reasons << *reason;
    }
    if (reasons.isEmpty())
        reasons << QStringLiteral("no platform is named");
    problem_ = reasons.join(QLatin1String("; "));
}

WindowPlatformCheck::~WindowPlatformCheck() {
    Release();
}

void WindowPlatformCheck::Release() {
    if (x_)
        xcb_disconnect(x_);
    x_ = nullptr;
}

} // namespace velomire
