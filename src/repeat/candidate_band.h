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

    // Called before the first cell of each row `y`, rows in increasing order:
    // drops the candidates too far above to be near any cell from here on.
    void StartRow(int y);

    // The candidates within reach of `cell`'s column (a superset of those
    // near it), as a range of indices in column order that stays valid until
    // the band changes. Cells of a row come in increasing column order.
    std::pair<const int*, const int*> WithinReach(Vector2 cell) {
        const double left = static_cast<double>(cell.x) - reach_;
        const double right = static_cast<double>(cell.x) + reach_;
        const std::size_t size = sorted_.size();
        while (first_ < size && ColumnOf(sorted_[first_]) < left) ++first_;
        std::size_t last = first_;
        while (last < size && ColumnOf(sorted_[last]) <= right) ++last;
        return {sorted_.data() + first_, sorted_.data() + last};
    }

    // `index` has just been placed at the current cell (appended, or moved
    // there after Remove).
    void Add(int index);
    // Takes out `index`, a candidate within reach of the current cell, before
    // its position changes.
    void Remove(int index);

private:
    double ColumnOf(int index) const {
        return static_cast<double>(candidates_[static_cast<std::size_t>(index)].position.x);
    }
    void InsertSorted(int index);

    const std::vector<HighPos>& candidates_;
    double reach_;
    std::vector<int> sorted_;  // candidate indices by column
    // Every entry before it lies left of the current cell's reach, and so of
    // every later cell's in this row.
    std::size_t first_ = 0;
};

}  // namespace zentrel
