// The tile job from the caller's arguments to the lattice: the checks of the
// arguments, the read, and the class of each refusal. The export adds the
// lock, the catch boundary and the C struct; the estimator itself never sees
// the library's shared state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lattice.h"

namespace zentrel {

// Refuses, as a bad argument, a result the caller cannot receive into: null,
// or its `size` field below `needed`, the smallest struct this library
// accepts.
void CheckTileResult(const void* result, std::uint32_t size, std::size_t needed);

// The lattice of the image at `path`. Refuses a null path as a bad argument
// and a file that cannot be read as unreadable.
lattice::Lattice RunTileJob(const char* path);

// How the file at `path` stores its image, as far as the estimator cares.
lattice::Storage StorageOf(const char* path);

}  // namespace zentrel
