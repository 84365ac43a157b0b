// Keeps one Wine session warm across the test processes (scripts/test-windows):
//
//   wine_session hold NAME      waits until the named event is set, at most
//                               an hour, then exits
//   wine_session release NAME   sets it
//
// While `hold` runs, Wine keeps its server and service processes alive, so a
// test process starts in well under a second instead of several seconds.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wine_session hold|release NAME\n");
        return 2;
    }
    const char* name = argv[2];
    if (std::strcmp(argv[1], "hold") == 0) {
        const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
        if (event == nullptr) return 1;
        // A deadline of its own, so that a forgotten session still ends.
        const DWORD result = WaitForSingleObject(event, 60 * 60 * 1000);
        CloseHandle(event);
        return result == WAIT_OBJECT_0 ? 0 : 1;
    }
    if (std::strcmp(argv[1], "release") == 0) {
        const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
        if (event == nullptr) return 1;
        const BOOL set = SetEvent(event);
        CloseHandle(event);
        return set ? 0 : 1;
    }
    std::fprintf(stderr, "usage: wine_session hold|release NAME\n");
    return 2;
}
