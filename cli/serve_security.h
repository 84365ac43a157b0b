// What keeps `zentrel serve` a page for its own user: the per-run token, the
// names the server answers to, and the confinement of every file it touches
// to the folders it serves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zentrel::cli {

// 64 hex digits from the kernel's random source.
std::string RandomToken();

// Whether `given` is `token`, in time that depends on the token's length only.
bool SameToken(const std::string& given, const std::string& token);

// The value of cookie `name` in a Cookie header, or "".
std::string CookieValue(const std::string& header, const std::string& name);

// Whether a request's Host header names this server: a loopback name or
// `boundHost` (the --host address, unless it is a wildcard), with any port.
// A DNS name of someone else's that resolves to 127.0.0.1 is refused.
bool IsOwnHost(const std::string& header, const std::string& boundHost);

// A folder whose files the server may serve.
struct ServedFolder {
    std::string name;  // as the API names it: "root", "uploads", "exports"
    std::string real;  // its real path, without a trailing slash
};

// A regular file inside a served folder, found by its real path.
struct ServedFile {
    std::string folder;    // the folder's real path
    std::string relative;  // the file's real path relative to it
    std::string Full() const { return folder + "/" + relative; }
};

// Why a name was refused: an HTTP status and a message for the page.
struct Refusal {
    int status = 403;
    std::string message;
};

// Resolves `name`, relative to `folder`, through every symbolic link; it must
// end in a regular file inside the folder. An empty or absolute name, a NUL
// byte, and anything that resolves outside are refused (403); a name that
// does not exist is 404.
std::optional<ServedFile> ResolveServedFile(const ServedFolder& folder, const std::string& name,
                                            Refusal& refusal);

// Why the server must not write `path` (whose folder is already confined),
// or nothing: a symbolic link, anything but a regular file, and a file with
// more than one name are refused, since writing would reach past the folder.
std::optional<std::string> RefuseToWrite(const std::string& path);

// A file name for an upload, from the name the browser gave: its last
// component, letters, digits, '.', '-' and '_' kept, anything else '_', at
// most 100 bytes, never hidden. Empty if nothing usable is left or it has no
// extension (rectify needs one).
std::string UploadName(const std::string& given);

struct ListedFile {
    std::string name;  // relative to the folder
    std::uint64_t bytes = 0;
};

// The image files in `folder` and below, by extension, sorted by name:
// hidden files and folders are skipped, symbolic links are followed only
// when they stay inside, and at most `limit` are listed.
std::vector<ListedFile> ListImages(const ServedFolder& folder, std::size_t limit);

}  // namespace zentrel::cli
