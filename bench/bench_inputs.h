// The benchmarks' generated images: repeating patterns that look the same at
// the working width whatever their size, and the folder they are written to.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zentrel::bench {

// A pattern of `size` pixels, `type` CV_8UC1, CV_8UC3 or CV_16UC3, repeating
// a tile of smoothed noise that is `workingTile` pixels at the 600-column
// working width. Noise correlates only with its own repeats: a small tile
// gives a score map full of strong cells and a few hundred candidates, a
// large one a handful. `size` must be a whole multiple of 600 x 450.
cv::Mat NoisePattern(cv::Size workingTile, cv::Size size, int type);

// Writes `image` to `path` or throws.
void WriteImage(const std::string& path, const cv::Mat& image);

// Peak and current resident memory of this process from /proc/self/status,
// in bytes; -1 where the system does not tell.
long long PeakResidentBytes();
long long ResidentBytes();
// Resets the peak to the current resident size; false where not supported.
bool ResetPeakResident();

}  // namespace zentrel::bench
