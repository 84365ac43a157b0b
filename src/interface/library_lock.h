// The one lock that serializes the library's exported calls: the seven and
// the extended ones hold it for their whole run, so that none of them sees
// another's half-written state.
#pragma once

#include <mutex>

namespace zentrel {

inline std::mutex libraryMutex;

}  // namespace zentrel
