#include "serve_security.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <system_error>

namespace zentrel::cli {

namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMaxUploadName = 100;
constexpr int kMaxListDepth = 8;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The decoders' own extensions: what the library can open.
bool HasImageExtension(const std::string& name) {
    static const std::set<std::string> kExtensions = {
        "bmp", "dib", "jpeg", "jpg", "jpe", "jp2",  "png", "webp", "pbm", "pgm", "ppm",
        "pxm", "pnm", "pfm",  "sr",  "ras", "tiff", "tif", "exr",  "hdr", "pic"};
    const std::size_t dot = name.find_last_of('.');
    return dot != std::string::npos && kExtensions.count(Lower(name.substr(dot + 1))) != 0;
}

std::string RealPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr),
                                                           &std::free);
    return real ? std::string(real.get()) : std::string();
}

bool Inside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

}  // namespace

std::string RandomToken() {
    unsigned char bytes[kTokenBytes];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno, std::generic_category(), "getrandom");
        got += static_cast<std::size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

bool SameToken(const std::string& given, const std::string& token) {
    // The length is no secret: every token has the same.
    if (given.size() != token.size() || token.empty()) return false;
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < token.size(); ++i) {
        difference = difference | static_cast<unsigned char>(given[i] ^ token[i]);
    }
    return difference == 0;
}

std::string CookieValue(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string::npos) end = header.size();
        std::size_t start = header.find_first_not_of(' ', at);
        if (start < end) {
            const std::size_t equals = header.find('=', start);
            if (equals < end && header.compare(start, equals - start, name) == 0 &&
                equals - start == name.size()) {
                return header.substr(equals + 1, end - equals - 1);
            }
        }
        at = end + 1;
    }
    return "";
}

bool IsOwnHost(const std::string& header, const std::string& boundHost) {
    std::string host;
    if (!header.empty() && header.front() == '[') {
        const std::size_t close = header.find(']');
        if (close == std::string::npos) return false;
        host = header.substr(0, close + 1);
        const std::string rest = header.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
    } else {
        host = header.substr(0, header.find(':'));
    }
    host = Lower(host);
    if (host == "localhost" || host == "127.0.0.1" || host == "[::1]") return true;
    std::string bound = Lower(boundHost);
    if (bound == "0.0.0.0" || bound == "::" || bound.empty()) return false;
    if (bound.find(':') != std::string::npos) bound = "[" + bound + "]";
    return host == bound;
}

std::optional<ServedFile> ResolveServedFile(const ServedFolder& folder, const std::string& name,
                                            Refusal& refusal) {
    if (name.empty()) {
        refusal = {400, "no file named"};
        return std::nullopt;
    }
    if (name.find('\0') != std::string::npos || name.front() == '/') {
        refusal = {403, "only names relative to the served folder are allowed"};
        return std::nullopt;
    }
    // Refused before the file system is asked, so that answers never tell
    // what exists outside.
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
            refusal = {403, "'..' is not allowed in a file name"};
            return std::nullopt;
        }
        start = end + 1;
    }
    const std::string real = RealPath(folder.real + "/" + name);
    if (real.empty()) {
        refusal = {404, "no such file: " + name};
        return std::nullopt;
    }
    struct stat status {};
    if (!Inside(real, folder.real)) {
        refusal = {403, name + " leads outside the served folder"};
        return std::nullopt;
    }
    if (stat(real.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        refusal = {403, name + " is not a regular file"};
        return std::nullopt;
    }
    return ServedFile{folder.real, real.substr(folder.real.size() + 1)};
}

std::optional<std::string> RefuseToWrite(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return std::nullopt;
    if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
    if (!S_ISREG(status.st_mode)) return "it is not a regular file";
    if (status.st_nlink > 1) return "it has other names (hard links)";
    return std::nullopt;
}

std::string UploadName(const std::string& given) {
    std::string name = given.substr(given.find_last_of("/\\") + 1);
    for (char& c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) && u < 0x80) && c != '.' && c != '-' && c != '_') c = '_';
    }
    if (!name.empty() && name.front() == '.') name.front() = '_';
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
    if (name.size() > kMaxUploadName) {
        const std::string extension = name.substr(dot);
        if (extension.size() >= kMaxUploadName / 2) return "";
        name = name.substr(0, kMaxUploadName - extension.size()) + extension;
    }
    return name;
}

std::vector<ListedFile> ListImages(const ServedFolder& folder, std::size_t limit) {
    namespace fs = std::filesystem;
    std::vector<ListedFile> files;
    std::error_code error;
    fs::recursive_directory_iterator it(folder.real, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path& path = it->path();
        const std::string leaf = path.filename().string();
        if (!leaf.empty() && leaf.front() == '.') {
            if (it->is_directory(error)) it.disable_recursion_pending();
            continue;
        }
        if (it.depth() >= kMaxListDepth) it.disable_recursion_pending();
        if (!HasImageExtension(leaf)) continue;
        // Through the same gate as every request, so that the list shows
        // exactly what may be opened.
        const std::string name = path.string().substr(folder.real.size() + 1);
        Refusal refusal;
        const std::optional<ServedFile> file = ResolveServedFile(folder, name, refusal);
        if (!file) continue;
        struct stat status {};
        if (stat(file->Full().c_str(), &status) != 0) continue;
        files.push_back({name, static_cast<std::uint64_t>(status.st_size)});
        if (files.size() >= limit) break;
    }
    std::sort(files.begin(), files.end(),
              [](const ListedFile& a, const ListedFile& b) { return a.name < b.name; });
    return files;
}

}  // namespace zentrel::cli
