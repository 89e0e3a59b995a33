#include "core/velocity/curve_math.h"
#include "core/velocity/note_table.h"

#include <gtest/gtest.h>

namespace velomire {
namespace {

struct CurveRow {
    double exp;
    int vcut;
    int vmax;
    std::array<int, 8> out; // for inputs 1, 19, 20, 32, 64, 100, 126, 127
};

TEST(MapVelocity, WorkedValues) {
    constexpr std::array<int, 8> in{1, 19, 20, 32, 64, 100, 126, 127};
    const CurveRow rows[] = {
        {1.0, 0, 127, {1, 19, 20, 32, 64, 100, 126, 127}},
        {2.0, 0, 127, {0, 2, 3, 8, 32, 78, 124, 126}},
        {0.5, 0, 127, {11, 49, 50, 64, 90, 113, 126, 127}},
        {1.0, 0, 100, {1, 15, 16, 25, 50, 79, 99, 100}},
        {1.5, 20, 100, {0, 0, 6, 13, 35, 69, 98, 99}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(MapVelocity(0, r.exp, r.vcut, r.vmax), 0) << "exp " << r.exp;
        for (std::size_t i = 0; i < in.size(); ++i)
            EXPECT_EQ(MapVelocity(in[i], r.exp, r.vcut, r.vmax), r.out[i])
                << "exp " << r.exp << " vcut " << r.vcut << " vmax " << r.vmax << " in " << in[i];
    }
}

TEST(MapVelocity, CutOffIsStrict) {
    EXPECT_EQ(MapVelocity(19, 1.5, 20, 100), 0);
    EXPECT_EQ(MapVelocity(20, 1.5, 20, 100), 6);
    EXPECT_EQ(MapVelocity(127, 1.0, 127, 127), 127);
    EXPECT_EQ(MapVelocity(126, 1.0, 127, 127), 0);
}

TEST(MapVelocity, StartupKeysAreIdentityAndOthersSilent) {
    NoteSetting key;
    SetKeyStartupValues(key, 60);
    const NoteSetting untouched; // entries outside the keyboard keep vmax 0
    for (int v = 0; v <= 127; ++v) {
        EXPECT_EQ(MapVelocity(v, key), v);
        EXPECT_EQ(MapVelocity(v, untouched), 0);
    }
}

// Values only a damaged settings file can hold: the result is always a valid velocity.
TEST(MapVelocity, DamagedValuesStayInRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double exp;
        int vcut, vmax, in, expected;
    } cases[] = {
        {nan, 0, 127, 64, 64},  // not a number: straight line
        {inf, 0, 127, 64, 64},  // infinite: straight line
        {-inf, 0, 127, 64, 64}, // negative infinite: straight line
        {0.0, 0, 127, 64, 64},  // zero: straight line
        {-2.0, 0, 127, 0, 0},   // negative: straight line, no division by zero at velocity 0
        {-2.0, 0, 127, 100, 100},   {1.0, 0, 255, 127, 127}, // vmax above 127 counts as 127
        {1.0, 200, 127, 127, 0},    // cut-off above every velocity silences the key
        {1e-300, 0, 127, 127, 127}, // tiny exponent cannot push t to 128
        {1e-300, 0, 127, 1, 127},   {1e300, 0, 127, 127, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MapVelocity(c.in, c.exp, c.vcut, c.vmax), c.expected)
            << "exp " << c.exp << " vcut " << c.vcut << " vmax " << c.vmax << " in " << c.in;
    for (double e : {nan, inf, -inf, 0.0, -1.0, 1e-300, 1e-20, 1e300})
        for (int vmax : {0, 1, 127, 128, 255})
            for (int v = 0; v <= 127; ++v)
                EXPECT_LE(MapVelocity(v, e, 0, vmax), 127);
}

} // namespace
} // namespace velomire

namespace velomire {
namespace {

// The exponent's label holds nine characters: every value it shows is the value, rounded.
TEST(FormatExponent, ShowsWhatTheLabelCanHoldHonestly) {
    const QLocale c = QLocale::c();
    const std::pair<double, const char*> rows[] = {
        {2.0, "2"},           {0.5, "0.5"},
        {1.6551715, "1.655"}, {0.00014483, "0.000145"},
        {9999.5, "9999.5"},   {12345.678, "1.23e+04"},
        {1e308, "1e+308"},
    };
    for (const auto& [v, shown] : rows)
        EXPECT_EQ(FormatExponent(v, c), QString::fromLatin1(shown)) << v;
}

} // namespace
} // namespace velomire
