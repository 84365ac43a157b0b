#include "candidate_band.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zentrel {

CandidateBand::CandidateBand(const std::vector<HighPos>& candidates, float span)
    : candidates_(candidates), reach_(Reach(span)) {}

double CandidateBand::Reach(float span) {
    if (!(span > 0.0f)) return 0.0;  // also NaN: nothing is closer than that
    if (std::isinf(span)) return std::numeric_limits<double>::infinity();
    // Cell positions below 2^24 are exact floats and so are their
    // differences; squaring, summing and the square root each round down by
    // at most half an ulp, so the distance is at least |dx| * (1 - 2^-23).
    // The relative margin covers that many times over, the extra cell covers
    // positions that are no longer exact on maps of more than 2^24 cells.
    return static_cast<double>(span) * (1.0 + 0x1p-16) + 1.0;
}

void CandidateBand::StartRow(int y) {
    const double row = static_cast<double>(y);
    const auto tooFarAbove = [&](const Entry& entry) {
        return row - static_cast<double>(entry.row) > reach_;
    };
    // Stable, so the rest stays sorted by column.
    sorted_.erase(std::remove_if(sorted_.begin(), sorted_.end(), tooFarAbove), sorted_.end());
    first_ = 0;
    last_ = 0;
}

void CandidateBand::Add(int index) {
    const Vector2 position = candidates_[static_cast<std::size_t>(index)].position;
    // At the current cell: right of everything before first_, within reach,
    // so left of everything from last_ on.
    const auto at = std::upper_bound(
        sorted_.begin() + static_cast<std::ptrdiff_t>(first_),
        sorted_.begin() + static_cast<std::ptrdiff_t>(last_), position.x,
        [](float column, const Entry& other) { return column < other.column; });
    sorted_.insert(at, Entry{position.x, position.y, index});
    ++last_;
}

void CandidateBand::Remove(int index) {
    const auto begin = sorted_.begin() + static_cast<std::ptrdiff_t>(first_);
    const auto end = sorted_.begin() + static_cast<std::ptrdiff_t>(last_);
    const auto it =
        std::find_if(begin, end, [&](const Entry& entry) { return entry.index == index; });
    if (it == end) return;
    sorted_.erase(it);
    --last_;
}

}  // namespace zentrel
