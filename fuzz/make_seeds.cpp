// Writes the seed corpora: one small repeating pattern in every format and
// depth the imaging library decodes here, as it is for the repeat and tile
// targets and wrapped in a rectification case for the perspective target.
//
//   zentrel_make_seeds OUTPUT_FOLDER
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "fuzz_input.h"

namespace {

struct Seed {
    const char* ext;
    int type;
    std::vector<int> params = {};
};

// Tiles of 16 x 12 over 192 x 32: wide, because the analysis scales every
// input to 600 columns and its cost grows with the height that gives.
cv::Mat Pattern(int type) {
    cv::Mat colour(32, 192, CV_8UC4);
    for (int y = 0; y < colour.rows; ++y) {
        for (int x = 0; x < colour.cols; ++x) {
            const int u = x % 16;
            const int v = y % 12;
            colour.at<cv::Vec4b>(y, x) = cv::Vec4b(static_cast<uchar>((u * 37 + v * 91) & 255),
                                                   static_cast<uchar>((u * v * 23) & 255),
                                                   static_cast<uchar>(u > v ? 220 : 30),
                                                   static_cast<uchar>(128 + u * 8));
        }
    }
    const int channels = CV_MAT_CN(type);
    std::vector<cv::Mat> planes;
    cv::split(colour, planes);
    planes.resize(channels);
    cv::Mat image;
    cv::merge(planes, image);
    switch (CV_MAT_DEPTH(type)) {
        case CV_16U: image.convertTo(image, type, 257.0); break;
        case CV_32F: image.convertTo(image, type, 1.0 / 255); break;
        default: break;
    }
    return image;
}

std::string TypeName(int type) {
    const char* depth = CV_MAT_DEPTH(type) == CV_16U ? "16u" : CV_MAT_DEPTH(type) == CV_32F ? "32f" : "8u";
    return std::string(depth) + "c" + std::to_string(CV_MAT_CN(type));
}

bool Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path root(argv[1]);
    fs::create_directories(root / "repeat");
    fs::create_directories(root / "perspective");
    fs::create_directories(root / "tile");

    const Seed seeds[] = {
        {"png", CV_8UC1},  {"png", CV_8UC3},  {"png", CV_8UC4},  {"png", CV_16UC1},
        {"png", CV_16UC3}, {"jpg", CV_8UC1},  {"jpg", CV_8UC3},  {"bmp", CV_8UC1},
        {"bmp", CV_8UC3},  {"bmp", CV_8UC4},  {"tiff", CV_8UC3}, {"tiff", CV_16UC1},
        {"tiff", CV_32FC1},
        // Uncompressed, so that a flipped bit changes a pixel's value rather
        // than the stream: out-of-range floats are one mutation away.
        {"tiff", CV_32FC3, {cv::IMWRITE_TIFF_COMPRESSION, 1}},
        {"webp", CV_8UC3}, {"webp", CV_8UC4}, {"pbm", CV_8UC1},
        {"pgm", CV_8UC1},  {"pgm", CV_16UC1}, {"ppm", CV_8UC3},  {"pam", CV_8UC4},
        {"ras", CV_8UC3},  {"pfm", CV_32FC3}, {"hdr", CV_32FC3}, {"jp2", CV_8UC3},
    };
    for (const Seed& seed : seeds) {
        std::vector<uchar> encoded;
        if (!cv::imencode(std::string(".") + seed.ext, Pattern(seed.type), encoded, seed.params)) {
            std::fprintf(stderr, "no encoder for .%s %s\n", seed.ext, TypeName(seed.type).c_str());
            return 1;
        }
        const std::string bytes(encoded.begin(), encoded.end());
        const std::string stem = std::string(seed.ext) + "-" + TypeName(seed.type);

        zentrel::fuzz::RectifyCase rectify;
        // A quadrilateral inside the pattern, corners in no particular order.
        rectify.corners = {180, 4, 2, 186, 3, 2, 29, 30};
        rectify.name = "seed";
        rectify.ext = seed.ext;
        rectify.image = bytes;
        if (!Write(root / "repeat" / (stem + "." + seed.ext), bytes) ||
            !Write(root / "tile" / (stem + "." + seed.ext), bytes) ||
            !Write(root / "perspective" / stem, zentrel::fuzz::EncodeRectifyCase(rectify))) {
            std::fprintf(stderr, "cannot write into %s\n", root.c_str());
            return 1;
        }
    }
    return 0;
}
