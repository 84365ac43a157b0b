// The lattice of a working image, read from its self-similarity map.
#pragma once

#include <optional>

#include "lattice_basis.h"
#include "self_similarity_map.h"

namespace zentrel::lattice {

// The finest lattice whose vectors the map agrees with about as well as with
// its best peak, so that neither a multiple nor a part of the period wins;
// none when the map has no peak, or agrees with one direction only (stripes)
// or with a vector shorter than `minLength` pixels.
std::optional<Basis> ChooseLattice(const SelfSimilarityMap& map, double minLength);

}  // namespace zentrel::lattice
