// Writes the seed corpora: one small repeating pattern in every format and
// depth the imaging library decodes here, as it is for the repeat, tile and
// quad targets and wrapped in a rectification case for the perspective target; and
// a few ordinary cases for each fast target.
//
//   zentrel_make_seeds OUTPUT_FOLDER
#include <cstdio>
#include <cstring>
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

void PutInt16(std::string& bytes, int value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>((value >> 8) & 0xFF);
}

void PutFloat(std::string& bytes, float value) {
    char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    bytes.append(raw, sizeof raw);
}

// A literal with its embedded NULs.
template <std::size_t N>
std::string Literal(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string Piece(const std::string& text) { return static_cast<char>(text.size()) + text; }

struct FastSeed {
    const char* target;
    const char* name;
    std::string bytes;
};

// One or two ordinary cases per fast target, in the byte layout its header
// describes, so that the replayer has something to run and libFuzzer a start.
std::vector<FastSeed> FastSeeds() {
    std::vector<FastSeed> seeds;

    // A lattice of peaks 5 columns and 4 rows apart, span 3; and raw scores.
    std::string peaks = {0, 11, 39, 24};
    for (int i = 0; i < 12; ++i) {
        for (int j = 0; j < 40; ++j) peaks += static_cast<char>(i % 4 == 0 && j % 5 == 0 ? 0x8F : 0x20);
    }
    seeds.push_back({"gather", "peaks", peaks});
    std::string raw = {1, 5, 15, 16};
    for (int k = 0; k < 6 * 16; ++k) PutFloat(raw, k % 7 == 0 ? 0.3f + 0.01f * static_cast<float>(k % 13) : 0.0f);
    seeds.push_back({"gather", "raw-scores", raw});

    // Nine candidates on a 1000 x 800 image, the best at (300, 300); the
    // second corner is the one exactly 40 pixels up and to the left.
    std::string candidates;
    PutInt16(candidates, 999);
    PutInt16(candidates, 799);
    candidates += std::string{0, 9};
    const int points[][3] = {{15, 300, 300}, {14, 250, 320}, {13, 260, 260},
                             {12, 100, 100}, {11, 50, 50},   {10, 10, 10},
                             {9, 20, 20},    {9, 400, 90},   {8, 700, 500}};
    for (const auto& [score, x, y] : points) {
        candidates += static_cast<char>(score);
        PutInt16(candidates, x);
        PutInt16(candidates, y);
    }
    seeds.push_back({"repeat_rect", "candidates", candidates});

    seeds.push_back({"output_path", "pieces",
                     std::string(1, '\0') + Piece("/tmp/scans/") + Piece("page.1") + Piece("png") +
                         static_cast<char>(16) + Piece("abc") + Piece("defg")});

    seeds.push_back({"utf16", "mixed",
                     "\x01" + std::string("caf\xC3\xA9 \xF0\x9F\x98\x80 \xED\xA0\x80 \xE2\x82 \xC0\xAF")});

    seeds.push_back({"cli", "repeat", Literal("repeat\0-j\0" "2\0--json\0--preview=out\0a.png")});
    seeds.push_back({"cli", "rectify",
                     Literal("rectify\0--corners\0" "1,2,3,4,5,6,7,8\0--trace\0b \xC3\xA9\xFF.png")});

    // A 4 x 4 tile repeated over 24 x 16 grey pixels.
    std::string tiles = {15, 23, 0};
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 24; ++x) tiles += static_cast<char>(((x % 4) * 60 + (y % 4) * 13) & 0xFF);
    }
    seeds.push_back({"lattice", "tiles", tiles});
    return seeds;
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
    fs::create_directories(root / "export");
    fs::create_directories(root / "quad");

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
            !Write(root / "export" / (stem + "." + seed.ext), bytes) ||
            !Write(root / "quad" / (stem + "." + seed.ext), bytes) ||
            !Write(root / "perspective" / stem, zentrel::fuzz::EncodeRectifyCase(rectify))) {
            std::fprintf(stderr, "cannot write into %s\n", root.c_str());
            return 1;
        }
    }
    for (const FastSeed& seed : FastSeeds()) {
        fs::create_directories(root / seed.target);
        if (!Write(root / seed.target / seed.name, seed.bytes)) {
            std::fprintf(stderr, "cannot write into %s\n", root.c_str());
            return 1;
        }
    }
    return 0;
}
