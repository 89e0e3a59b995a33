#include "core/listening/loudness_table.h"

#include <gtest/gtest.h>

#include <clocale>

namespace velomire {
namespace {

TEST(LoudnessTableTest, TextKeepsWhatWasHeardWhatWasSilentAndWhatWasNeverPlayed) {
    // The file is the same whatever the user's locale uses as a decimal mark.
    const std::string old = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    LoudnessTable table({127, 32, 64, 64, 0, 200});
    ASSERT_EQ(table.Velocities(), (std::vector<int>{32, 64, 127}));
    table.Set(21, 0, -31.256);
    table.Set(21, 2, -12.0);
    table.Set(60, 1, LoudnessTable::kSilent);
    table.Set(200, 0, -1.0); // not a key

    const std::string text = table.ToText();
    EXPECT_NE(text.find("21 A0 -31.26 - -12.00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("60 C4 - silent -\n"), std::string::npos) << text;
    const auto back = LoudnessTable::FromText(text);
    std::setlocale(LC_NUMERIC, old.c_str());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Keys(), (std::vector<int>{21, 60}));
    EXPECT_NEAR(*back->At(21, 0), -31.26, 1e-9);
    EXPECT_FALSE(back->At(21, 1));
    EXPECT_TRUE(back->At(60, 1));
    EXPECT_FALSE(back->Sounded(60, 1));
    EXPECT_EQ(back->ToText(), text);
}

TEST(LoudnessTableTest, TextThatIsNoTableIsRefused) {
    for (const char* text : {
             "",
             "60 C4 -20\n",                       // no velocities line
             "velocities 32 x\n",                 // not a number
             "velocities 32 64\n60 C4 -20\n",     // too few values
             "velocities 32\n60 C4 -2O.5\n",      // not a number
             "velocities 32\n60 C4 inf\n",        // not finite
             "velocities 32\n128 G#9 -20\n",      // not a key
             "velocities 32 32\n60 C4 -20 -20\n", // a velocity twice
         }) {
        EXPECT_FALSE(LoudnessTable::FromText(text)) << text;
    }
}

} // namespace
} // namespace velomire
