#include "lattice.h"

namespace zentrel::lattice {

const char* MatchTypeName(MatchType match) {
    switch (match) {
        case MatchType::Straight: return "straight";
        case MatchType::HalfDrop: return "half-drop";
        case MatchType::HalfBrick: return "half-brick";
        case MatchType::Other: break;
    }
    return "other";
}

Lattice EstimateLattice(const cv::Mat& image) {
    CV_Assert(!image.empty());
    return Lattice{};
}

}  // namespace zentrel::lattice
