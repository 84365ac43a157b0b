// The index behind the candidate gathering. Cells are visited row by row, and
// a candidate's position only ever becomes the cell being visited, so the
// candidates that can still be near a cell lie in a band of rows just above
// it. The band keeps them sorted by column, and a cell looks only at those
// within reach of its own column instead of at every candidate found so far.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "repeat_search.h"

namespace zentrel {

class CandidateBand {
public:
    // Indexes `candidates` (empty at the start) as the gathering grows it.
    CandidateBand(const std::vector<HighPos>& candidates, float span);

    // A bound on |dx| and |dy| of any two cell positions that pass
    // PointDistance(a, b) < span. 0 when nothing can pass, infinite when the
    // span is.
    static double Reach(float span);

    // A candidate in the band: its position, kept here so that the window is
    // found without looking the candidates up.
    struct Entry {
        float column;
        float row;
        int index;
    };

    // Called before the first cell of each row `y`, rows in increasing order:
    // drops the candidates too far above to be near any cell from here on.
    void StartRow(int y);

    // The candidates within reach of `cell`'s column (a superset of those
    // near it), in column order; valid until the band changes. The cells of a
    // row come in increasing column order.
    std::pair<const Entry*, const Entry*> WithinReach(Vector2 cell) {
        const double left = static_cast<double>(cell.x) - reach_;
        const double right = static_cast<double>(cell.x) + reach_;
        const std::size_t size = sorted_.size();
        while (first_ < size && static_cast<double>(sorted_[first_].column) < left) ++first_;
        if (last_ < first_) last_ = first_;
        while (last_ < size && static_cast<double>(sorted_[last_].column) <= right) ++last_;
        return {sorted_.data() + first_, sorted_.data() + last_};
    }

    // After WithinReach of the current cell: `index` has just been placed at
    // that cell (appended, or moved there after Remove).
    void Add(int index);
    // After WithinReach of the current cell: takes out `index`, one of the
    // candidates it returned, before its position changes.
    void Remove(int index);

private:
    const std::vector<HighPos>& candidates_;
    double reach_;
    std::vector<Entry> sorted_;  // by column
    // The current cell's window: every entry before first_ lies left of its
    // reach (and so of every later cell's in the row), every one from last_
    // on right of it.
    std::size_t first_ = 0;
    std::size_t last_ = 0;
};

}  // namespace zentrel
