// The few Windows facilities the library relies on, behind one interface:
// the Windows build calls the real ones, every other build a portable twin.
#pragma once

#include <cstddef>

namespace zentrel::platform {

// One UTF-16 code unit, as the public header's ZentrelWideChar.
#ifdef _WIN32
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif

// Copies `source` with its terminator into `destination`, a buffer of
// `destinationSize` chars. Returns false, leaving the buffer unchanged, when
// the string does not fit or an argument is null (where the C runtime's bounded
// copy would end the process).
bool CopyString(char* destination, std::size_t destinationSize, const char* source);

// Appends `source` to the string in `destination`, with the same contract.
bool AppendString(char* destination, std::size_t destinationSize, const char* source);

// Narrow (ANSI code page on Windows, UTF-8 elsewhere) to UTF-16, with the
// calling pattern of MultiByteToWideChar(CP_ACP, 0, ...): `sourceLength` -1
// means "up to and including the terminator"; with no destination the call
// returns the number of code units needed. Returns 0 on failure (destination
// too small). Ill-formed input never fails: each maximal ill-formed
// subsequence becomes one U+FFFD.
int NarrowToWide(const char* source, int sourceLength, WideChar* destination,
                 int destinationLength);

}  // namespace zentrel::platform
