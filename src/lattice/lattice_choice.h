// The lattice of a working image, read from its self-similarity map.
#pragma once

#include <optional>
#include <vector>

#include "lattice_basis.h"
#include "self_similarity_map.h"

namespace zentrel::lattice {

struct LatticeChoice {
    Basis basis;
    // The shifts that may be the period: the peaks of the map on the lattice
    // (a motif's near-repeat and the design's repeat both lie on it), the
    // basis vectors among them, shortest first.
    std::vector<SelfSimilarityMap::Peak> candidates;
};

// The finest lattice whose vectors the map agrees with about as well as with
// its best peak; none when the map has no peak, or agrees with one direction
// only (stripes) or with a vector shorter than `minLength` pixels. The map
// is a reduced copy's: which of the candidates is the exact period is
// decided at full resolution.
std::optional<LatticeChoice> ChooseLattice(const SelfSimilarityMap& map, double minLength);

}  // namespace zentrel::lattice
