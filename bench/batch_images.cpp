// Writes the batch that scripts/bench-batch analyses: COUNT pattern images
// of mixed sizes (600 x 450 to 2400 x 1800), colour and grey, with large and
// small tiles, in an order that mixes them.
//
//   zentrel_batch_images FOLDER COUNT
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_inputs.h"

int main(int argc, char** argv) try {
    namespace fs = std::filesystem;
    if (argc != 3 || std::atoi(argv[2]) < 1) {
        std::fprintf(stderr, "usage: %s FOLDER COUNT\n", argv[0]);
        return 2;
    }
    const fs::path folder(argv[1]);
    const int count = std::atoi(argv[2]);
    fs::create_directories(folder);

    const cv::Size sizes[] = {{600, 450}, {1200, 900}, {1800, 1350}, {2400, 1800}};
    const int types[] = {CV_8UC3, CV_8UC1};
    const cv::Size tiles[] = {{200, 150}, {10, 7}};
    // Each kind is made and encoded once; the batch holds copies.
    std::vector<fs::path> kinds;
    for (const cv::Size size : sizes) {
        for (const int type : types) {
            for (const cv::Size tile : tiles) {
                const fs::path path = folder / ("kind-" + std::to_string(kinds.size()) + ".png");
                zentrel::bench::WriteImage(path.string(),
                                           zentrel::bench::NoisePattern(tile, size, type));
                kinds.push_back(path);
            }
        }
    }
    for (int k = 0; k < count; ++k) {
        // A stride coprime with the number of kinds: neighbours differ in size.
        const fs::path& kind = kinds[(static_cast<std::size_t>(k) * 5) % kinds.size()];
        char name[32];
        std::snprintf(name, sizeof name, "image-%03d.png", k);
        fs::copy_file(kind, folder / name, fs::copy_options::overwrite_existing);
    }
    for (const fs::path& kind : kinds) fs::remove(kind);
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
