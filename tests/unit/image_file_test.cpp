// Every entry point reads through ReadImageFile, so its refusal is the one
// classification of a file that cannot be read.
#include "image_file.h"

#include <gtest/gtest.h>

#include <fstream>
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

}  // namespace
}  // namespace zentrel
