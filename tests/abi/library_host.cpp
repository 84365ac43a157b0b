#include "library_host.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace zentrel::testing {

namespace {

// The loader calls a host makes: LoadLibraryA and GetProcAddress on Windows,
// dlopen and dlsym elsewhere.
#ifdef _WIN32
void* OpenLibrary(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }
void* FindSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
std::string LoaderError() { return "LoadLibraryA failed: " + std::to_string(GetLastError()); }
int DuplicateFd(int fd) { return _dup(fd); }
int RedirectFd(int from, int to) { return _dup2(from, to); }
int CloseFd(int fd) { return _close(fd); }
int OpenCaptureFile(std::string& name) {
    char folder[MAX_PATH];
    char file[MAX_PATH];
    if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "ztr", 0, file) == 0) {
        return -1;
    }
    name = file;
    return _open(file, _O_WRONLY | _O_TRUNC | _O_BINARY);
}
constexpr int kStdout = 1;
constexpr int kStderr = 2;
#else
void* OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }
void CloseLibrary(void* handle) { dlclose(handle); }
std::string LoaderError() { return dlerror(); }
int DuplicateFd(int fd) { return dup(fd); }
int RedirectFd(int from, int to) { return dup2(from, to); }
int CloseFd(int fd) { return close(fd); }
int OpenCaptureFile(std::string& name) {
    char pattern[] = "/tmp/zentrel-trace-XXXXXX";
    const int fd = mkstemp(pattern);
    name = pattern;
    return fd;
}
constexpr int kStdout = STDOUT_FILENO;
constexpr int kStderr = STDERR_FILENO;
#endif

// Everything written to file descriptor `fd` while `call` runs.
template <typename Call>
std::string CaptureFd(int fd, Call&& call) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::string name;
    const int file = OpenCaptureFile(name);
    if (file < 0) throw std::runtime_error("cannot create a capture file");
    const int saved = DuplicateFd(fd);
    RedirectFd(file, fd);
    call();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    RedirectFd(saved, fd);
    CloseFd(saved);
    CloseFd(file);

    std::string text;
    {
        std::ifstream captured(name, std::ios::binary);
        std::ostringstream bytes;
        bytes << captured.rdbuf();
        text = bytes.str();
    }
    std::remove(name.c_str());
    return text;
}

template <typename Function>
void Bind(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(FindSymbol(handle, name));
    if (function == nullptr) throw std::runtime_error(std::string("missing export ") + name);
}

}  // namespace

LibraryHost::LibraryHost() {
    handle_ = OpenLibrary(ZENTREL_LIBRARY_PATH);
    if (handle_ == nullptr) throw std::runtime_error(LoaderError());
    Bind(handle_, "ShowRepeatPoints", ShowRepeatPoints);
    Bind(handle_, "SavePerspectiveImage", SavePerspectiveImage);
    Bind(handle_, "ReturnX", ReturnX);
    Bind(handle_, "ReturnY", ReturnY);
    Bind(handle_, "ReturnW", ReturnW);
    Bind(handle_, "ReturnH", ReturnH);
    Bind(handle_, "ReturnPath", ReturnPath);
}

LibraryHost::~LibraryHost() {
    if (handle_ != nullptr) CloseLibrary(handle_);
}

template <typename Call>
std::vector<std::string> LibraryHost::CaptureStdout(Call&& call) {
    std::istringstream captured(CaptureFd(kStdout, call));
    std::vector<std::string> lines;
    for (std::string line; std::getline(captured, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // text-mode output on Windows
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LibraryHost::Repeat(const char* path) {
    return CaptureStdout([&] { ShowRepeatPoints(path); });
}

std::vector<std::string> LibraryHost::Rectify(const int (&xs)[4], const int (&ys)[4],
                                              char* savePath, const char* imageName,
                                              const char* imageExt) {
    return CaptureStdout([&] {
        SavePerspectiveImage(xs[0], xs[1], xs[2], xs[3], ys[0], ys[1], ys[2], ys[3], savePath,
                             imageName, imageExt);
    });
}

std::u16string LibraryHost::PathText() {
    const ZentrelWideChar* path = ReturnPath();
    if (path == nullptr) return std::u16string();
#ifdef _WIN32
    // wchar_t is a UTF-16 code unit on Windows.
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return std::u16string(reinterpret_cast<const char16_t*>(path));
#else
    return std::u16string(path);
#endif
}

std::vector<int> LibraryHost::Rectangle() { return {ReturnX(), ReturnY(), ReturnW(), ReturnH()}; }

std::vector<std::string> LibraryHost::TraceOfGetters() {
    return CaptureStdout([&] {
        Rectangle();
        ReturnPath();
    });
}

PathBuffer::PathBuffer(const std::string& firstPiece) {
    std::memset(data, 0, sizeof data);
    if (firstPiece.size() >= sizeof data) throw std::length_error("first piece too long");
    std::memcpy(data, firstPiece.data(), firstPiece.size());
}

::testing::AssertionResult IsErrorLineNaming(const std::string& line, const std::string& value) {
    static const char* const kLabels[] = {"Show F5 Count = ", "C++ ImgURL = ", "Repeat_x = ",
                                          "Input mat is not proper!", "return zero matrix",
                                          "Pers F5 Count = ", "maxW = ", "maxH = ",
                                          "tmpSavePath = ", "persImageSavePath = ",
                                          "FinalSavePath = ", "Complete SaveImage"};
    for (const char* label : kLabels) {
        if (line.rfind(label, 0) == 0) {
            return ::testing::AssertionFailure() << "'" << line << "' starts with a trace label";
        }
    }
    if (line.find(value) == std::string::npos) {
        return ::testing::AssertionFailure() << "'" << line << "' does not name '" << value << "'";
    }
    return ::testing::AssertionSuccess();
}

std::string CaptureStandardError(const std::function<void()>& call) {
    return CaptureFd(kStderr, call);
}

std::string CaptureStandardOutput(const std::function<void()>& call) {
    return CaptureFd(kStdout, call);
}

}  // namespace zentrel::testing
