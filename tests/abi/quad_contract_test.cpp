// zentrel_find_quad through the shared library, bound with dlsym as a host
// binds it: the size rule of its result, refusals, a real photo whose corners
// are known, and an image that holds no quadrilateral.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_images.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::testing {
namespace {

class QuadContractTest : public ::testing::Test {
protected:
    QuadContractTest() {
        handle_ = dlopen(ZENTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) throw std::runtime_error(dlerror());
        findQuad_ = reinterpret_cast<decltype(findQuad_)>(dlsym(handle_, "zentrel_find_quad"));
        lastError_ = reinterpret_cast<decltype(lastError_)>(dlsym(handle_, "zentrel_last_error"));
        setTrace_ = reinterpret_cast<decltype(setTrace_)>(
            dlsym(handle_, "zentrel_set_trace_callback"));
        if (findQuad_ == nullptr || lastError_ == nullptr || setTrace_ == nullptr) {
            throw std::runtime_error("missing export");
        }
    }
    ~QuadContractTest() override { dlclose(handle_); }

    // The call with its trace collected: a success traces nothing, a failure
    // exactly the line zentrel_last_error returns.
    int Find(const char* path, ZentrelQuad* quad) {
        std::vector<std::string> lines;
        setTrace_([](const char* line, void* user) {
            static_cast<std::vector<std::string>*>(user)->push_back(line);
        }, &lines);
        const int status = findQuad_(path, quad);
        setTrace_(nullptr, nullptr);
        error = lastError_();
        EXPECT_EQ(lines, status == ZENTREL_OK ? std::vector<std::string>{}
                                              : std::vector<std::string>{error});
        return status;
    }

    // Every byte after `size` set to something no call leaves there.
    static ZentrelQuad Stale() {
        ZentrelQuad quad;
        std::memset(&quad, 0x5A, sizeof quad);
        quad.size = sizeof quad;
        return quad;
    }

    static bool IsNone(const ZentrelQuad& quad) {
        ZentrelQuad none{};
        none.size = quad.size;
        return std::memcmp(&quad, &none, sizeof quad) == 0;
    }

    TempDir dir;
    std::string error;

private:
    void* handle_ = nullptr;
    int (*findQuad_)(const char*, ZentrelQuad*) = nullptr;
    const char* (*lastError_)() = nullptr;
    void (*setTrace_)(ZentrelTraceFn, void*) = nullptr;
};

TEST_F(QuadContractTest, RefusalsGiveAStatusAndAnErrorLineAndClearAUsableResult) {
    const std::string photo = std::string(ZENTREL_TEST_DATA_DIR) + "/painting_scene.jpg";
    const std::string text = dir.File("notes.png");
    std::FILE* file = std::fopen(text.c_str(), "w");
    std::fputs("not an image\n", file);
    std::fclose(file);
    struct Case {
        const char* path;
        int status;
        std::string named;
    };
    for (const Case& c : {Case{nullptr, ZENTREL_ERROR_ARGUMENT, "null path"},
                          Case{text.c_str(), ZENTREL_ERROR_UNREADABLE,
                               "Could not read image file: " + text},
                          Case{dir.path().c_str(), ZENTREL_ERROR_UNREADABLE, dir.path()}}) {
        SCOPED_TRACE(c.named);
        ZentrelQuad quad = Stale();
        EXPECT_EQ(Find(c.path, &quad), c.status);
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
        EXPECT_TRUE(IsNone(quad)) << "an earlier result must not pass for this one";
    }
    EXPECT_EQ(Find(photo.c_str(), nullptr), ZENTREL_ERROR_ARGUMENT);
    EXPECT_NE(error.find("null result"), std::string::npos) << error;

    // Too small for this library: refused, and not a byte written.
    for (const std::uint32_t size : {0u, 8u, static_cast<std::uint32_t>(sizeof(ZentrelQuad) - 1)}) {
        SCOPED_TRACE(size);
        ZentrelQuad small = Stale();
        small.size = size;
        const ZentrelQuad before = small;
        EXPECT_EQ(Find(photo.c_str(), &small), ZENTREL_ERROR_ARGUMENT);
        EXPECT_NE(error.find("size " + std::to_string(size) + ";"), std::string::npos) << error;
        EXPECT_EQ(std::memcmp(&small, &before, sizeof small), 0);
    }
}

TEST_F(QuadContractTest, FindsThePaintingWithinTolerance) {
    // A newer header's bigger struct: filled only as far as this library knows.
    struct Newer {
        ZentrelQuad known;
        unsigned char later[16];
    } newer;
    std::memset(&newer, 0x5A, sizeof newer);
    newer.known.size = sizeof newer;
    const std::string photo = std::string(ZENTREL_TEST_DATA_DIR) + "/painting_scene.jpg";
    ASSERT_EQ(Find(photo.c_str(), &newer.known), ZENTREL_OK);
    EXPECT_EQ(error, "");
    EXPECT_EQ(newer.known.size, sizeof newer) << "size belongs to the caller";
    for (const unsigned char byte : newer.later) EXPECT_EQ(byte, 0x5A);

    const ZentrelQuad& quad = newer.known;
    ASSERT_EQ(quad.found, 1);
    EXPECT_GT(quad.confidence, 0.5);
    EXPECT_LE(quad.confidence, 1.0);
    // Top-left, top-right, bottom-right, bottom-left, as measured.
    const double truth[4][2] = {{231, 118}, {1003, 171}, {958, 742}, {187, 690}};
    const double tolerance = 0.015 * std::hypot(1200.0, 900.0);
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_LE(std::hypot(quad.corners[k].x - truth[k][0], quad.corners[k].y - truth[k][1]),
                  tolerance)
            << quad.corners[k].x << ", " << quad.corners[k].y;
    }
}

TEST_F(QuadContractTest, AnImageWithoutAQuadrilateralGivesNoneAsASuccess) {
    cv::Mat noise(480, 640, CV_8UC3);
    cv::RNG(5).fill(noise, cv::RNG::NORMAL, 128.0, 40.0);
    const std::string path = WriteImage(dir, "noise.png", noise);
    ZentrelQuad quad = Stale();
    EXPECT_EQ(Find(path.c_str(), &quad), ZENTREL_OK);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(IsNone(quad));
}

}  // namespace
}  // namespace zentrel::testing
