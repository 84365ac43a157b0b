// The DLL entry routine. The result state needs no per-process or per-thread
// set-up beyond static initialisation. The imaging library is linked into
// the DLL privately, so its log is ours alone: it is silenced when the DLL
// is loaded, and nothing of it reaches the host's standard error.
#ifdef _WIN32

#include <windows.h>

#include <opencv2/core/utils/logger.hpp>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    }
    return TRUE;
}

#endif  // _WIN32
