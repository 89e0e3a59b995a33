#include "core/settings/settings_codec.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <bit>
#include <limits>
#include <vector>

namespace velomire {
namespace {

std::vector<std::uint8_t> ToVector(const SettingsBytes& b) {
    return {b.begin(), b.end()};
}

std::size_t RecordOffset(int note) {
    return kNoteRecordsOffset + kNoteRecordBytes * note;
}

// Deterministic values that differ in every field and every byte of exp.
SettingsData VariedData() {
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t mod) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % mod;
    };
    SettingsData d;
    d.indevice = EncodeDeviceName(QStringLiteral("In \u00dc"));
    d.outdevice = EncodeDeviceName(QStringLiteral("Out \u30dd\u30fc\u30c8"));
    d.activenote = 128;
    for (std::size_t c = 0; c < d.channels.size(); ++c)
        d.channels[c] = static_cast<std::uint8_t>(next(16));
    for (auto& n : d.notes) {
        n.outnote = static_cast<std::uint8_t>(next(128));
        n.selected = next(2) ? kTrue : kFalse;
        n.exp = 0.01 + next(1000000) / 997.0;
        n.vcut = static_cast<std::uint8_t>(next(128));
        n.vmax = static_cast<std::uint8_t>(next(128));
    }
    return d;
}

TEST(SettingsCodec, RoundTripOfAFullTable) {
    const SettingsData d = VariedData();
    const SettingsBytes bytes = EncodeSettings(d);
    static_assert(sizeof(bytes) == 1814);
    const auto back = DecodeSettings(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, d);
    EXPECT_EQ(EncodeSettings(*back), bytes);
}

TEST(SettingsCodec, NoteRecordsByteForByte) {
    struct Row {
        NoteSetting s;
        std::array<std::uint8_t, 13> bytes;
    };
    const Row rows[] = {
        {{60, kFalse, 1.0, 0, 127}, {0x3C, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0x00, 0x7F}},
        {{60, kTrue, 2.5, 10, 100}, {0x3C, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0x04, 0x40, 0x0A, 0x64}},
    };
    for (const Row& r : rows) {
        SettingsData d;
        d.notes[60] = r.s;
        const SettingsBytes b = EncodeSettings(d);
        ASSERT_EQ(RecordOffset(60), 930u);
        EXPECT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), b.begin() + 930));
    }
}

TEST(SettingsCodec, RejectsBadHeadersAndShortFiles) {
    const auto good = ToVector(EncodeSettings(VariedData()));
    struct Row {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    auto with = [&good](std::size_t at, std::uint8_t v) {
        auto b = good;
        b[at] = v;
        return b;
    };
    const Row rows[] = {
        {"lower-case magic", with(0, 'v')},
        {"version 2", with(4, 2)},
        {"version 0", with(4, 0)},
        {"magic VMC2", with(3, '2')},
        {"empty", {}},
        {"header only", {good.begin(), good.begin() + 5}},
        {"one byte short", {good.begin(), good.end() - 1}},
    };
    for (const Row& r : rows)
        EXPECT_FALSE(DecodeSettings(r.bytes).has_value()) << r.what;
    EXPECT_TRUE(HasSettingsHeader(rows[5].bytes)); // header only: valid header, too short
    EXPECT_FALSE(HasSettingsHeader(std::vector<std::uint8_t>(good.begin(), good.begin() + 4)));

    auto longer = good;
    longer.insert(longer.end(), 50, 0xEE);
    const auto decoded = DecodeSettings(longer);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, VariedData());
}

TEST(SettingsCodec, DamagedValuesAreMadeSafe) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        const char* what;
        int note;
        std::size_t offset; // within the record, or absolute when note < 0
        std::uint64_t stored;
        int size;
        double expected; // field value after decoding
    };
    const Row rows[] = {
        {"active note 128 kept", -1, 133, 128, 1, 128},
        {"active note 129", -1, 133, 129, 1, 60},
        {"active note 255", -1, 133, 255, 1, 60},
        {"channel 16", -1, 134 + 3, 16, 1, 3},
        {"outnote 128", 40, 0, 128, 1, 40},
        {"outnote 255", 127, 0, 255, 1, 127},
        {"selected 1 kept as stored", 50, 1, 1, 2, 1},
        {"exp NaN", 10, 3, std::bit_cast<std::uint64_t>(nan), 8, 1.0},
        {"exp +inf", 10, 3, std::bit_cast<std::uint64_t>(inf), 8, 1.0},
        {"exp -inf", 10, 3, std::bit_cast<std::uint64_t>(-inf), 8, 1.0},
        {"exp 0", 10, 3, 0, 8, 1.0},
        {"exp -0", 10, 3, std::bit_cast<std::uint64_t>(-0.0), 8, 1.0},
        {"exp -2", 10, 3, std::bit_cast<std::uint64_t>(-2.0), 8, 1.0},
        {"exp 1e-300 kept", 10, 3, std::bit_cast<std::uint64_t>(1e-300), 8, 1e-300},
        {"vcut 128", 70, 11, 128, 1, 127},
        {"vmax 255", 70, 12, 255, 1, 127},
    };
    for (const Row& r : rows) {
        auto b = ToVector(EncodeSettings(SettingsData{}));
        const std::size_t at = r.note < 0 ? r.offset : RecordOffset(r.note) + r.offset;
        for (int i = 0; i < r.size; ++i)
            b[at + i] = static_cast<std::uint8_t>(r.stored >> (8 * i));
        const auto d = DecodeSettings(b);
        ASSERT_TRUE(d.has_value()) << r.what;
        double got = 0;
        if (r.note < 0)
            got = r.offset == 133 ? d->activenote : d->channels[r.offset - 134];
        else
            switch (r.offset) {
            case 0:
                got = d->notes[r.note].outnote;
                break;
            case 1:
                got = d->notes[r.note].selected;
                break;
            case 3:
                got = d->notes[r.note].exp;
                break;
            case 11:
                got = d->notes[r.note].vcut;
                break;
            default:
                got = d->notes[r.note].vmax;
                break;
            }
        EXPECT_EQ(got, r.expected) << r.what;
    }
}

TEST(DeviceName, EncodesUtf8CutAtACharacterAndPadded) {
    const QString a63 = QString(63, QLatin1Char('a'));
    struct Row {
        QString name;
        QString stored; // what comes back, trimmed
    };
    const Row rows[] = {
        {QStringLiteral("USB MIDI Interface"), QStringLiteral("USB MIDI Interface")},
        {QStringLiteral("Clavinova \u00dc-Port"), QStringLiteral("Clavinova \u00dc-Port")},
        {QStringLiteral("\u30e4\u30de\u30cf MIDI \u30dd\u30fc\u30c8"),
         QStringLiteral("\u30e4\u30de\u30cf MIDI \u30dd\u30fc\u30c8")},
        {QStringLiteral("  Port 1   "), QStringLiteral("Port 1")},
        {QString(64, QLatin1Char('x')), QString(64, QLatin1Char('x'))},
        {QString(70, QLatin1Char('x')), QString(64, QLatin1Char('x'))},
        {a63 + QStringLiteral("\u00e9"), a63},                       // 2-byte char at 64
        {a63.left(62) + QStringLiteral("\u20ac"), a63.left(62)},     // 3-byte char at 63
        {a63.left(61) + QStringLiteral("\U0001F3B9"), a63.left(61)}, // 4-byte char at 62
        {QString(30, QChar(0x00dc)), QString(30, QChar(0x00dc))},    // exactly 60 bytes
        {QString(40, QChar(0x3042)), QString(21, QChar(0x3042))},    // 63 of 120 bytes
    };
    for (const Row& r : rows) {
        const DeviceNameField f = EncodeDeviceName(r.name);
        EXPECT_EQ(DecodeDeviceName(f).trimmed(), r.stored) << r.name.toStdString();
        const QByteArray utf8 = r.stored.toUtf8();
        const auto lead = static_cast<std::size_t>(r.name.toUtf8().indexOf(utf8));
        for (std::size_t i = lead + utf8.size(); i < f.size(); ++i)
            EXPECT_EQ(f[i], ' ') << r.name.toStdString() << " byte " << i;
    }
    const DeviceNameField u = EncodeDeviceName(QStringLiteral("\u00dc-Port"));
    EXPECT_EQ(u[0], 0xC3); // UTF-8, not the Latin-1 byte 0xDC
    EXPECT_EQ(u[1], 0x9C);
}

TEST(DeviceName, DecodesWindows1252WhenNotUtf8) {
    struct Row {
        std::vector<std::uint8_t> bytes;
        QString text;
    };
    const Row rows[] = {
        {{'C', 'a', 'f', 0xE9}, QStringLiteral("Caf\u00e9")},
        {{0x80, ' ', '5'}, QStringLiteral("\u20ac 5")},
        {{0xDC, '-', 'P'}, QStringLiteral("\u00dc-P")},
        {{0x8A, 0x9C, 0x9F, 0x99, 0x85}, QStringLiteral("\u0160\u0153\u0178\u2122\u2026")},
        {{0x81, 0x8D, 0x8F, 0x90, 0x9D}, QStringLiteral("\u0081\u008d\u008f\u0090\u009d")},
        {{0xC3, 0xA9}, QStringLiteral("\u00e9")},                   // valid UTF-8 wins
        {{0xC0, 0xAF}, QStringLiteral("\u00c0\u00af")},             // overlong, not UTF-8
        {{0xED, 0xA0, 0x80}, QStringLiteral("\u00ed\u00a0\u20ac")}, // surrogate, not UTF-8
    };
    for (const Row& r : rows) {
        DeviceNameField f;
        f.fill(' ');
        std::copy(r.bytes.begin(), r.bytes.end(), f.begin());
        EXPECT_EQ(DecodeDeviceName(f).trimmed(), r.text) << r.text.toStdString();
    }
}

TEST(DeviceName, UnsetFieldMatchesNoName) {
    const QString unset = DecodeDeviceName(DeviceNameField{}).trimmed();
    EXPECT_EQ(unset, QString(64, QChar(0)));
}

// Files in tests/data were produced by a separate writer, so they check the layout
// independently of EncodeSettings.
TEST(SettingsCodec, DataFiles) {
    auto read = [](const QString& path) {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
        const QByteArray a = f.readAll();
        return std::vector<std::uint8_t>(a.begin(), a.end());
    };
    const QDir data(QStringLiteral(VELOMIRE_TEST_DATA));
    for (const QString& file : QDir(data.filePath("valid")).entryList(QDir::Files)) {
        const auto d = DecodeSettings(read(data.filePath("valid/" + file)));
        ASSERT_TRUE(d.has_value()) << file.toStdString();
        EXPECT_EQ(DecodeDeviceName(d->indevice).trimmed(), QStringLiteral("Clavinova \u00dc-Port"));
        EXPECT_EQ(DecodeDeviceName(d->outdevice).trimmed(),
                  QStringLiteral("Synth \u20ac Caf\u00e9"));
        EXPECT_EQ(d->activenote, 64);
        EXPECT_EQ(d->channels[1], 1);
        EXPECT_EQ(d->channels[15], 15);
        EXPECT_EQ(d->notes[60], (NoteSetting{60, kFalse, 1.0, 0, 127}));
        EXPECT_EQ(d->notes[64], (NoteSetting{64, kTrue, 2.5, 10, 100}));
        EXPECT_EQ(d->notes[0], (NoteSetting{0, kFalse, 1.0, 0, 0})); // stored exp 0 made safe
    }
    const QStringList reasons =
        QDir(data.filePath("invalid")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    EXPECT_EQ(reasons.size(), 4);
    for (const QString& reason : reasons)
        for (const QString& file : QDir(data.filePath("invalid/" + reason)).entryList(QDir::Files))
            EXPECT_FALSE(DecodeSettings(read(data.filePath("invalid/" + reason + "/" + file))))
                << reason.toStdString();
}

} // namespace
} // namespace velomire
