// Arbitrary bytes as a settings file: the decoder never trusts them, and the loader never
// hands a caller anything from a file it rejects.
#include "core/settings/settings_codec.h"
#include "core/settings/settings_store.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

using namespace velomire;

namespace {

[[noreturn]] void Fail(const char* what, int line) {
    std::fprintf(stderr, "settings_fuzz.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}
#define FUZZ_CHECK(cond) ((cond) ? void() : Fail(#cond, __LINE__))

void CheckSafeRanges(const SettingsData& d) {
    FUZZ_CHECK(d.activenote <= 128);
    for (const std::uint8_t c : d.channels)
        FUZZ_CHECK(c <= 15);
    for (const NoteSetting& n : d.notes) {
        FUZZ_CHECK(n.outnote <= 127);
        FUZZ_CHECK(std::isfinite(n.exp) && n.exp > 0.0);
        FUZZ_CHECK(n.vcut <= 127);
        FUZZ_CHECK(n.vmax <= 127);
    }
}

// A name cut to fit its field keeps whole characters: what comes back is a prefix of it.
void CheckNameRoundTrip(const DeviceNameField& field) {
    const QString name = DecodeDeviceName(field);
    QString back = DecodeDeviceName(EncodeDeviceName(name));
    while (back.endsWith(QLatin1Char(' ')))
        back.chop(1);
    FUZZ_CHECK(name.startsWith(back));
}

// On a private folder, removed at exit.
std::optional<SettingsStore> g_store;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where possible: rewriting a file on a disk with discard costs milliseconds.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/velomire-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/velomire-fuzz-XXXXXX"));
    if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("cfg")))
        Fail("no private settings folder", __LINE__);
    g_store.emplace(dir.path() + QStringLiteral("/cfg"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto decoded = DecodeSettings(bytes);
    if (decoded) {
        CheckSafeRanges(*decoded);
        const SettingsBytes again = EncodeSettings(*decoded);
        FUZZ_CHECK(DecodeSettings(again) == decoded);
        CheckNameRoundTrip(decoded->indevice);
    } else if (size >= kDeviceNameBytes) {
        DeviceNameField field{};
        std::copy_n(data, kDeviceNameBytes, field.begin());
        CheckNameRoundTrip(field);
    }

    {
        QFile file(g_store->PathOf(QStringLiteral("X")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) !=
                static_cast<qint64>(size))
            Fail("cannot write the settings file", __LINE__);
    }
    const LoadResult r = g_store->Read(QStringLiteral("X"));
    if (decoded) {
        FUZZ_CHECK(r.status == LoadStatus::Ok);
        FUZZ_CHECK(r.data == *decoded);
    } else {
        // Nothing half-read may reach the caller's tables.
        FUZZ_CHECK(r.status == LoadStatus::Invalid);
        FUZZ_CHECK(r.data == SettingsData{});
        FUZZ_CHECK(!r.error.isEmpty());
    }
    return 0;
}
