// From the search's candidates to the one repeat rectangle in the result
// state.
#pragma once

namespace zentrel {

constexpr int kDistinctScoresNeeded = 6;
constexpr int kCornerSeparation = 40;
constexpr int kMinimumSide = 5;

// Chooses cornerA and cornerB from checkPoints and highList: the best candidate,
// and the best further one at least 40 pixels up and to the left of it; with
// fewer than six distinct scores, a box around the image centre instead.
// Returns false, leaving both corners as they were, when it could not work.
bool FindRepeatCorners();

// Stores the rectangle spanned by the chosen corners, with the minimum-side
// rule; leaves it unchanged when no corners were chosen. Returns whether it
// stored one.
bool ResolveRepeatRect();

}  // namespace zentrel
