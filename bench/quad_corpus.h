// The quad finder's labelled corpus: real photos warped into other real photos
// with known corners (in perspective, turned, half in shadow, or barely
// different from what they lie on), the real photos whose corners are known,
// and images without a dominant quadrilateral (texture, tilings, noise, flat).
#pragma once

#include <array>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zentrel::quad_accuracy {

using Corners = std::array<cv::Point2d, 4>;

struct Sample {
    std::string family;       // the row of the table it counts in
    std::string description;  // how it was made, for --verbose
    cv::Mat image;            // as decoded from its file
    bool positive = false;    // false: nothing may be found
    Corners corners{};        // the truth, in the library's corner order
};

struct Photo {
    std::string name;
    cv::Mat image;
};

struct Photos {
    std::vector<Photo> sheets;       // what is photographed lying on something
    std::vector<Photo> backgrounds;  // what it lies on
    std::vector<Photo> negatives;    // texture and tilings without a dominant quadrilateral
    std::vector<Sample> known;         // real photos with measured corners
};

// The photos found in `folders`; missing files are skipped.
Photos LoadPhotos(const std::vector<std::string>& folders);

// The composite families in table order; "negatives" is the last.
const std::vector<std::string>& Families();

// One sample of `family`; the same sequence of `random` gives the same sample.
Sample MakeSample(const Photos& photos, const std::string& family, std::mt19937& random);

}  // namespace zentrel::quad_accuracy
