// The library's outer contract: what a host sees right after loading it, the
// names it exports, and how the call counters advance.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "library_host.h"

namespace zentrel::testing {
namespace {

#ifndef _WIN32
// The DLL's export table (the seven only) is checked by the Windows test
// script, with objdump.
std::set<std::string> DynamicSymbols(const std::string& library) {
    const std::string command = "nm -D --defined-only --format=posix '" + library + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    char line[1024];
    while (pipe && std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        const std::string text(line);
        names.insert(text.substr(0, text.find(' ')));
    }
    return names;
}

TEST(Exports, TheDynamicSymbolTableHoldsTheSevenAndTheExtendedApiOnly) {
    EXPECT_EQ(DynamicSymbols(ZENTREL_LIBRARY_PATH),
              (std::set<std::string>{
                  "ReturnH", "ReturnPath", "ReturnW", "ReturnX", "ReturnY", "SavePerspectiveImage",
                  "ShowRepeatPoints", "zentrel_estimate_tile", "zentrel_extract_tile",
                  "zentrel_find_quad", "zentrel_last_error", "zentrel_match_name",
                  "zentrel_mirror_name",
                  "zentrel_order_corners", "zentrel_repeat_candidates",
                  "zentrel_set_trace_callback", "zentrel_version"}));
}
#endif

// The header's version is generated from the project's; a stale or
// hand-edited one would tell a host the wrong version.
TEST(Exports, TheHeaderCarriesTheProjectVersion) {
    EXPECT_STREQ(ZENTREL_VERSION_STRING, ZENTREL_PROJECT_VERSION);
}

TEST(Exports, GettersStartAtZeroAndNullAndChangeNothing) {
    LibraryHost host;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(host.Rectangle(), (std::vector<int>{0, 0, 0, 0}));
        EXPECT_EQ(host.ReturnPath(), nullptr);
    }
}

TEST(Exports, EachWorkingCallCountsItselfWhateverItsOutcome) {
    LibraryHost host;
    for (int call = 1; call <= 3; ++call) {
        const auto lines = host.Repeat("/nonexistent/zentrel/missing.png");
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "Show F5 Count = " + std::to_string(call));
    }
    for (int call = 1; call <= 2; ++call) {
        PathBuffer buffer("/nonexistent/zentrel/");
        const auto lines = host.Rectify({0, 10, 10, 0}, {0, 0, 10, 10}, buffer.data, "a", "png");
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "Pers F5 Count = " + std::to_string(call))
            << "the two counters are separate";
    }
}

}  // namespace
}  // namespace zentrel::testing
