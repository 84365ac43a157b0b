// Windows side of the platform layer: the real code-page conversion and the C
// runtime's bounded string functions.
#ifdef _WIN32

#include <windows.h>

#include <cstring>

#include "platform_strings.h"

namespace zentrel::platform {

namespace {

bool Fits(std::size_t used, const char* source, std::size_t destinationSize) {
    // Checked first, so that strcpy_s/strcat_s never reach the invalid-parameter
    // handler, whose default ends the host's process.
    return used < destinationSize && strnlen(source, destinationSize - used) < destinationSize - used;
}

}  // namespace

bool CopyString(char* destination, std::size_t destinationSize, const char* source) {
    if (destination == nullptr || source == nullptr || !Fits(0, source, destinationSize)) {
        return false;
    }
    return strcpy_s(destination, destinationSize, source) == 0;
}

bool AppendString(char* destination, std::size_t destinationSize, const char* source) {
    if (destination == nullptr || source == nullptr) return false;
    const std::size_t used = strnlen(destination, destinationSize);
    if (used == destinationSize || !Fits(used, source, destinationSize)) return false;
    return strcat_s(destination, destinationSize, source) == 0;
}

int NarrowToWide(const char* source, int sourceLength, WideChar* destination,
                 int destinationLength) {
    return MultiByteToWideChar(CP_ACP, 0, source, sourceLength, destination, destinationLength);
}

}  // namespace zentrel::platform

#endif  // _WIN32
