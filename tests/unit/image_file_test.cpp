// Every entry point reads through ReadImageFile, so its refusal is the one
// classification of a file that cannot be read.
#include "image_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "refusal.h"
#include "test_images.h"

namespace zentrel {
namespace {

TEST(ReadImageFile, EveryKindOfUnreadableFileIsRefusedAsUnreadableNamingThePath) {
    testing::TempDir dir;
    std::ofstream(dir.File("empty.png"));
    std::ofstream(dir.File("notes.png")) << "not an image\n";
    // Wider than the decoder's own limit of 2^20 columns: the decoder throws.
    std::ofstream(dir.File("wide.pbm"), std::ios::binary) << "P4\n2000000 1\n"
                                                          << std::string(250000, '\0');
    for (const std::string& path : {dir.File("missing.png"), dir.File("empty.png"),
                                    dir.File("notes.png"), dir.File("wide.pbm"), dir.path()}) {
        SCOPED_TRACE(path);
        try {
            ReadImageFile(path);
            ADD_FAILURE() << "read";
        } catch (const Refusal& refusal) {
            EXPECT_EQ(refusal.GetCause(), Refusal::Cause::Unreadable);
            EXPECT_TRUE(refusal.Traced());
            EXPECT_EQ(std::string(refusal.what()).rfind("Could not read image file: " + path, 0),
                      0u)
                << refusal.what();
        }
    }
}

// A JPEG is told by its bytes, not its name.
TEST(HoldsJpeg, ReadsTheDataNotTheName) {
    testing::TempDir dir;
    const cv::Mat image(8, 8, CV_8UC1, cv::Scalar(90));
    cv::imwrite(dir.File("photo.jpg"), image);
    cv::imwrite(dir.File("drawing.png"), image);
    std::rename(dir.File("photo.jpg").c_str(), dir.File("photo.png").c_str());
    std::rename(dir.File("drawing.png").c_str(), dir.File("drawing.jpg").c_str());
    EXPECT_TRUE(HoldsJpeg(dir.File("photo.png")));
    EXPECT_FALSE(HoldsJpeg(dir.File("drawing.jpg")));
    EXPECT_FALSE(HoldsJpeg(dir.File("missing.jpg")));
}

}  // namespace
}  // namespace zentrel
