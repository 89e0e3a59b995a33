#include "app/command_line.h"

#include <gtest/gtest.h>

namespace velomire {
namespace {

// Only absolute paths count: an empty or unset HOME once gave /.local/share/velomire.
TEST(DataFolder, ComesFromAnAbsoluteXdgDataHomeElseAnAbsoluteHome) {
    struct Case {
        const char* xdgDataHome;
        const char* home;
        const char* folder;
    };
    const Case cases[] = {
        {"/x/data", "/home/u", "/x/data/velomire"},
        {"/x/data/", "", "/x/data/velomire"},
        {"", "/home/u", "/home/u/.local/share/velomire"},
        {"data", "/home/u", "/home/u/.local/share/velomire"},
        {"", "", ""},
        {"", "home/u", ""},
        {"data", "~", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("XDG_DATA_HOME='") + c.xdgDataHome + "' HOME='" + c.home + "'");
        EXPECT_EQ(DataFolder(QString::fromUtf8(c.xdgDataHome), QString::fromUtf8(c.home)),
                  QString::fromUtf8(c.folder));
    }
}

} // namespace
} // namespace velomire
