// The accuracy corpus's random choices: one generator, so that a seed names
// a corpus.
#pragma once

#include <cmath>
#include <random>

namespace zentrel::accuracy {

using Random = std::mt19937;

inline double Uniform(Random& random, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
}
inline int UniformInt(Random& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}
// Evenly on a log scale: tile sides, where 12 and 24 differ as 200 and 400 do.
inline int LogUniformInt(Random& random, int low, int high) {
    return static_cast<int>(std::lround(std::exp(Uniform(random, std::log(low), std::log(high)))));
}
inline bool Chance(Random& random, double probability) {
    return Uniform(random, 0.0, 1.0) < probability;
}
template <typename T, std::size_t N>
const T& Pick(Random& random, const T (&items)[N]) {
    return items[UniformInt(random, 0, static_cast<int>(N) - 1)];
}

}  // namespace zentrel::accuracy
