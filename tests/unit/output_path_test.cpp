#include "output_path.h"

#include <gtest/gtest.h>

#include <string>

namespace zentrel {
namespace {

TEST(DeriveOutputPath, InsertsBeforeTheExtensionsOwnDot) {
    EXPECT_EQ(DeriveOutputPath("C:\\scans\\page1.png", 3), "C:\\scans\\page1_pers.png");
    EXPECT_EQ(DeriveOutputPath("/data/scan.final.png", 3), "/data/scan.final_pers.png");
    EXPECT_EQ(DeriveOutputPath("/data.d/photo.jpeg", 4), "/data.d/photo_pers.jpeg");
    // The position comes from the extension's length: a dotted extension keeps
    // its inner dot.
    EXPECT_EQ(DeriveOutputPath("/data/a.tar.gz", 6), "/data/a_pers.tar.gz");
    EXPECT_EQ(DeriveOutputPath("/data/page.", 0), "/data/page_pers.");
}

TEST(JoinInputPath, JoinsThePiecesUpTo199Characters) {
    char joined[kInputPathCapacity];
    ASSERT_TRUE(JoinInputPath("C:\\scans\\", "page1", "png", joined));
    EXPECT_STREQ(joined, "C:\\scans\\page1.png");
    ASSERT_TRUE(JoinInputPath("C:\\scans", "page1", "png", joined));
    EXPECT_STREQ(joined, "C:\\scanspage1.png") << "no separator is added";
    ASSERT_TRUE(JoinInputPath("/d/", "page", "", joined));
    EXPECT_STREQ(joined, "/d/page.");

    const std::string folder = "/" + std::string(191, 'f') + "/";  // 193 characters
    ASSERT_TRUE(JoinInputPath(folder.c_str(), "ab", "png", joined));  // 199
    EXPECT_EQ(std::string(joined).size(), 199u);
    EXPECT_FALSE(JoinInputPath(folder.c_str(), "abc", "png", joined));  // 200
    EXPECT_FALSE(JoinInputPath(folder.c_str(), "ab", "png2", joined));
    EXPECT_FALSE(JoinInputPath((std::string(250, 'x')).c_str(), "a", "b", joined));
}

}  // namespace
}  // namespace zentrel
