// What only a Windows host sees: the DLLs' version resources, narrow paths
// read in the ANSI code page, ReturnPath as a wchar_t string that the wide
// Win32 calls accept as it is, and a standard error the imaging library
// leaves alone.
#include <windows.h>

#include <algorithm>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "library_host.h"
#include "test_images.h"

namespace zentrel::testing {
namespace {

static_assert(std::is_same_v<ZentrelWideChar, wchar_t>,
              "hosts pass ReturnPath straight to the wide Win32 calls");

using Lines = std::vector<std::string>;

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The file behind `wide` exists: the wide path names what the narrow one wrote.
bool WideFileExists(const wchar_t* wide) {
    const DWORD attributes = GetFileAttributesW(wide);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates `folder`, given with its trailing separator as savePath wants it.
bool MakeFolder(const std::string& folder) {
    return CreateDirectoryA(folder.substr(0, folder.size() - 1).c_str(), nullptr) != 0;
}

cv::Mat Grey(int rows, int columns) {
    cv::Mat image(rows, columns, CV_8UC1);
    cv::randu(image, 0, 255);
    return image;
}

std::wstring VersionString(const std::vector<char>& block, const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || length == 0) return L"";
    return static_cast<const wchar_t*>(value);
}

// Both DLLs: each names itself, and both carry the header's version.
TEST(WindowsHost, VersionResourcesCarryTheHeaderVersion) {
    for (const char* name : {"zentrel.dll", "zentrel_ext.dll"}) {
        SCOPED_TRACE(name);
        const HMODULE module = LoadLibraryA(name);
        ASSERT_NE(module, nullptr);
        wchar_t file[MAX_PATH];
        ASSERT_GT(GetModuleFileNameW(module, file, MAX_PATH), 0u);

        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
        ASSERT_GT(size, 0u) << "no version resource";
        std::vector<char> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(file, 0, size, block.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS,
                  static_cast<DWORD>(ZENTREL_VERSION_MAJOR << 16 | ZENTREL_VERSION_MINOR));
        EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(ZENTREL_VERSION_PATCH << 16));
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

        EXPECT_EQ(VersionString(block, L"FileVersion"), Wide(ZENTREL_VERSION_STRING));
        EXPECT_EQ(VersionString(block, L"ProductVersion"), Wide(ZENTREL_VERSION_STRING));
        EXPECT_EQ(VersionString(block, L"OriginalFilename"), Wide(name));
        FreeLibrary(module);
    }
}

// The Windows twin of the contract test for non-ASCII paths: the narrow
// pieces are in the ANSI code page, as the file system calls read them, so
// 0xE9 is one character and not a broken UTF-8 sequence.
TEST(WindowsHost, NarrowPathsAreReadInTheAnsiCodePage) {
    LibraryHost host;
    TempDir dir;
    const std::string folder = dir.File("r\xE9sum\xE9/");
    ASSERT_TRUE(MakeFolder(folder));
    ASSERT_TRUE(cv::imwrite(folder + "scan.png", Grey(30, 30)));

    PathBuffer buffer(folder);
    const Lines lines = host.Rectify({0, 20, 20, 0}, {0, 0, 20, 20}, buffer.data, "scan", "png");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Complete SaveImage");
    EXPECT_EQ(std::string(buffer.data), folder + "scan_pers.png");
    EXPECT_NE(GetFileAttributesA(buffer.data), INVALID_FILE_ATTRIBUTES);

    const wchar_t* published = host.ReturnPath();
    ASSERT_NE(published, nullptr);
    EXPECT_TRUE(WideFileExists(published)) << "ReturnPath names a file that is not there";
    if (GetACP() == 1252) {
        EXPECT_EQ(std::wstring(published), Wide(dir.path()) + L"r\u00E9sum\u00E9/scan_pers.png");
    }
}

// Hosts pass native paths: backslashes throughout, dots in folder names.
TEST(WindowsHost, BackslashPathsWithDottedFoldersComeBackAsTheyWent) {
    LibraryHost host;
    TempDir dir;
    std::string folder = dir.File("scans.v2/");
    std::replace(folder.begin(), folder.end(), '/', '\\');
    ASSERT_TRUE(MakeFolder(folder));
    ASSERT_TRUE(cv::imwrite(folder + "page.png", Grey(40, 60)));

    PathBuffer buffer(folder);
    const Lines lines = host.Rectify({0, 59, 59, 0}, {0, 0, 39, 39}, buffer.data, "page", "png");
    ASSERT_EQ(lines.size(), 7u);
    const std::string output = folder + "page_pers.png";
    EXPECT_EQ(lines[5], "FinalSavePath = " + output);
    EXPECT_EQ(std::wstring(host.ReturnPath()), Wide(output));
    EXPECT_TRUE(WideFileExists(host.ReturnPath()));
    EXPECT_EQ(cv::imread(output, cv::IMREAD_UNCHANGED).size(), cv::Size(59, 39));
}

// The DLL's imaging library is its own, silenced at load; and files that
// cannot be opened stop before it is asked. A file another handle holds
// without sharing is Windows's unreadable file.
TEST(WindowsHost, FilesThatCannotBeOpenedLeaveTheHostsStandardErrorAlone) {
    LibraryHost host;
    TempDir dir;
    ASSERT_TRUE(MakeFolder(dir.File("folder.png/")));
    ASSERT_TRUE(cv::imwrite(dir.File("locked.png"), Grey(40, 60)));
    const HANDLE holder = CreateFileA(dir.File("locked.png").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string errors = CaptureStandardError([&] {
        for (const char* name : {"missing.png", "folder.png", "locked.png"}) {
            SCOPED_TRACE(name);
            const Lines lines = host.Repeat(dir.File(name).c_str());
            ASSERT_EQ(lines.size(), 3u);
            EXPECT_TRUE(IsErrorLineNaming(lines[2], dir.File(name)));
        }
    });
    CloseHandle(holder);
    EXPECT_EQ(errors, "");
}

}  // namespace
}  // namespace zentrel::testing
