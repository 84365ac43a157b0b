#include "serve_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core/utils/logger.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "image_job.h"
#include "image_path.h"
#include "json_text.h"
#include "page_assets.h"
#include "serve_jobs.h"
#include "serve_security.h"
#include "worker_pool.h"

namespace zentrel::cli {

namespace {

constexpr std::size_t kListLimit = 5000;
constexpr std::size_t kThumbnailCacheBytes = 64 << 20;
constexpr int kMaxDefaultWorkers = 8;
// Handler threads beyond the jobs that may run or wait: for the page itself,
// its images and the browser's idle keep-alive connections.
constexpr int kSpareThreads = 16;
constexpr int kMaxThreads = 512;

using httplib::Request;
using httplib::Response;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Extension(const std::string& name) {
    const std::size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? "" : Lower(name.substr(dot + 1));
}

// The formats a browser shows as they are; others are converted by a worker.
const char* BrowserImageType(const std::string& name) {
    static const std::map<std::string, const char*> kTypes = {
        {"png", "image/png"},  {"jpg", "image/jpeg"},  {"jpeg", "image/jpeg"},
        {"jpe", "image/jpeg"}, {"webp", "image/webp"}, {"bmp", "image/bmp"},
        {"dib", "image/bmp"}};
    const auto found = kTypes.find(Extension(name));
    return found == kTypes.end() ? nullptr : found->second;
}

const char* AssetType(const std::string& name) {
    static const std::map<std::string, const char*> kTypes = {
        {"html", "text/html; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"svg", "image/svg+xml"},
        {"png", "image/png"}};
    const auto found = kTypes.find(Extension(name));
    return found == kTypes.end() ? "application/octet-stream" : found->second;
}

// A resolution in pixels per inch, as `tile --dpi` takes it.
std::optional<double> ParseResolution(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || !(value > 0.0) ||
        value >= 1e5) {
        return std::nullopt;
    }
    return value;
}

std::string UrlEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

const char* StatusText(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 416:
            return "Range Not Satisfiable";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return status >= 500 ? "Internal Server Error" : "Error";
    }
}

void SendJson(Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, "application/json");
}

void SendError(Response& res, int status, const std::string& message) {
    SendJson(res, status, ErrorJson(message));
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A private folder for uploads and exports, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zentrel-serve-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder: " +
                                     std::string(std::strerror(errno)));
        }
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    // A private folder inside; its real path.
    std::string MakeFolder(const std::string& name) const {
        const std::string path = path_ + "/" + name;
        if (mkdir(path.c_str(), 0700) != 0) {
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
        }
        char* real = realpath(path.c_str(), nullptr);
        if (real == nullptr) throw std::runtime_error("cannot resolve " + path);
        std::string result(real);
        std::free(real);
        return result;
    }

private:
    std::string path_;
};

// Recently made thumbnails, keyed by file and modification; cleared when full.
class ThumbnailCache {
public:
    std::optional<std::string> Find(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = pictures_.find(key);
        if (found == pictures_.end()) return std::nullopt;
        return found->second;
    }
    void Keep(const std::string& key, const std::string& picture) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bytes_ + picture.size() > kThumbnailCacheBytes) {
            pictures_.clear();
            bytes_ = 0;
        }
        if (pictures_.emplace(key, picture).second) bytes_ += picture.size();
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::string> pictures_;
    std::size_t bytes_ = 0;
};

std::string ThumbnailKey(const ServedFile& file) {
    struct stat status {};
    stat(file.Full().c_str(), &status);
    return file.Full() + '\n' + std::to_string(status.st_size) + '\n' +
           std::to_string(status.st_mtim.tv_sec) + '.' + std::to_string(status.st_mtim.tv_nsec);
}

std::string PageUrl(const ServeOptions& options, int port, const std::string& token) {
    std::string host = options.host;
    if (host == "0.0.0.0" || host == "::" || host.empty()) host = "127.0.0.1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(port) + "/?token=" + token;
}

void OpenInBrowser(const std::string& url) {
    std::vector<char*> arguments{const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()),
                                 nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The browser must not inherit the blocked signals of the server's threads.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int error =
        posix_spawnp(&pid, "xdg-open", &actions, &attributes, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::cerr << "zentrel: cannot open a browser (xdg-open): " << std::strerror(error) << '\n';
        return;
    }
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

class PageServer {
public:
    PageServer(const ServeOptions& options, const std::string& root, const TemporaryFolder& temp,
               JobService& service, int threads)
        : options_(options),
          token_(RandomToken()),
          root_{"root", root},
          uploads_{"uploads", temp.MakeFolder("uploads")},
          exports_{"exports", temp.MakeFolder("exports")},
          service_(service) {
        server_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
        server_.set_payload_max_length(static_cast<std::size_t>(options.maxUpload));
        server_.set_keep_alive_max_count(100);
        server_.set_keep_alive_timeout(2);
        server_.set_default_headers({
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"X-Frame-Options", "DENY"},
            {"Cross-Origin-Resource-Policy", "same-origin"},
            {"Cache-Control", "no-store"},
        });
        server_.set_pre_routing_handler(
            [this](const Request& req, Response& res) { return Guard(req, res); });
        server_.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
            SendError(res, 500, "the server failed on this request");
        });
        server_.set_error_handler([](const Request& req, Response& res) {
            if (!res.body.empty()) return;
            const std::string reason = StatusText(res.status);
            if (req.path.compare(0, 5, "/api/") == 0) {
                SendError(res, res.status, reason);
            } else {
                res.set_content(std::to_string(res.status) + " " + reason + "\n", "text/plain");
            }
        });
        Route();
    }

    // The port bound, or -1.
    int Bind() {
        if (options_.port == 0) return server_.bind_to_any_port(options_.host);
        return server_.bind_to_port(options_.host, options_.port) ? options_.port : -1;
    }
    bool Listen() { return server_.listen_after_bind(); }
    void Stop() { server_.stop(); }
    const std::string& Token() const { return token_; }

private:
    void Route() {
        server_.Get("/api/files", [this](const Request&, Response& res) { Files(res); });
        server_.Get("/api/image", [this](const Request& req, Response& res) { Image(req, res); });
        server_.Get("/api/thumbnail",
                    [this](const Request& req, Response& res) { Thumbnail(req, res); });
        server_.Get("/api/repeat", [this](const Request& req, Response& res) {
            Analyse(req, res, ServeJobKind::Repeat);
        });
        server_.Get("/api/tile", [this](const Request& req, Response& res) {
            Analyse(req, res, ServeJobKind::Tile);
        });
        server_.Get("/api/quad", [this](const Request& req, Response& res) {
            Analyse(req, res, ServeJobKind::Quad);
        });
        server_.Post("/api/rectify",
                     [this](const Request& req, Response& res) { Rectify(req, res); });
        server_.Post("/api/export",
                     [this](const Request& req, Response& res) { Export(req, res); });
        server_.Post("/api/upload",
                     [this](const Request& req, Response& res,
                            const httplib::ContentReader& reader) { Upload(req, res, reader); });
        server_.Get("/api/download",
                    [this](const Request& req, Response& res) { Download(req, res); });
        server_.Get(R"(/api/.*)",
                    [](const Request&, Response& res) { SendError(res, 404, "no such call"); });
        server_.Get(R"(/([A-Za-z0-9_.-]*))",
                    [this](const Request& req, Response& res) { Page(req, res); });
    }

    // Every request, before anything else: the Host names this server and
    // the token is this run's.
    httplib::Server::HandlerResponse Guard(const Request& req, Response& res) {
        if (!IsOwnHost(req.get_header_value("Host"), options_.host)) {
            res.status = 403;
            res.set_content("403 Forbidden: this server answers to its own address only\n",
                            "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        std::string given = req.get_param_value("token");
        if (given.empty()) given = CookieValue(req.get_header_value("Cookie"), CookieName());
        if (!SameToken(given, token_)) {
            res.status = 403;
            res.set_content(
                "403 Forbidden: open the address that zentrel serve printed, with its token\n",
                "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    // Per port: two servers on one machine share the browser's cookies.
    std::string CookieName() const { return "zentrel_token_" + std::to_string(port_); }

    void Page(const Request& req, Response& res) {
        std::string name = req.matches[1];
        if (name.empty()) name = "index.html";
        const PageAsset* asset = FindPageAsset(name);
        if (asset == nullptr) {
            res.status = 404;
            return;
        }
        res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, AssetType(name));
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' blob: data:; style-src 'self'; "
                       "script-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
                       "base-uri 'none'; form-action 'none'");
        if (req.has_param("token")) {
            // The page's own later requests carry the token without showing it.
            res.set_header("Set-Cookie",
                           CookieName() + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
        }
    }

    void Files(Response& res) {
        std::string body =
            "{\"root\": " + JsonString(std::filesystem::path(root_.real).filename().string()) +
            ", \"files\": [";
        bool first = true;
        for (const ServedFolder* folder : {&root_, &uploads_}) {
            for (const ListedFile& file : ListImages(*folder, kListLimit)) {
                body += std::string(first ? "" : ", ") +
                        "{\"folder\": " + JsonString(folder->name) +
                        ", \"file\": " + JsonString(file.name) +
                        ", \"bytes\": " + std::to_string(file.bytes) + "}";
                first = false;
            }
        }
        SendJson(res, 200, body + "]}");
    }

    // The image a request names (`folder` and `file`), or nothing with the
    // refusal already answered; `folderName` is set to the folder's.
    std::optional<ServedFile> Find(const Request& req, Response& res,
                                   std::string* folderName = nullptr) {
        const std::string asked = req.has_param("folder") ? req.get_param_value("folder") : "root";
        const ServedFolder* folder = asked == "root"      ? &root_
                                     : asked == "uploads" ? &uploads_
                                                          : nullptr;
        if (folder == nullptr) {
            SendError(res, 400, "folder must be root or uploads");
            return std::nullopt;
        }
        if (folderName != nullptr) *folderName = folder->name;
        Refusal refusal;
        std::optional<ServedFile> file =
            ResolveServedFile(*folder, req.get_param_value("file"), refusal);
        if (!file) SendError(res, refusal.status, refusal.message);
        return file;
    }

    // Runs the job in a worker and answers with what it gives; true when the
    // job itself answered 200.
    bool Work(const ServeJob& job, Response& res) {
        const JobService::Answer answer = service_.Run(EncodeServeJob(job));
        switch (answer.status) {
            case JobService::Status::Done:
                if (const std::optional<ServeReply> reply = DecodeServeReply(answer.payload)) {
                    res.status = reply->status;
                    res.set_content(reply->body, reply->type);
                    return reply->status == 200;
                }
                SendError(res, 500, "the worker process sent a garbled answer");
                return false;
            case JobService::Status::Busy:
                res.set_header("Retry-After", "1");
                SendError(res, 503, "the server is busy: " + answer.reason);
                return false;
            case JobService::Status::TimedOut:
                SendError(res, 504, answer.reason);
                return false;
            case JobService::Status::Lost:
                SendError(res, 500, answer.reason);
                return false;
        }
        return false;
    }

    void Image(const Request& req, Response& res) {
        const std::optional<ServedFile> file = Find(req, res);
        if (!file) return;
        const char* type = BrowserImageType(file->relative);
        if (type == nullptr) {
            Work({ServeJobKind::Display, file->folder, file->relative, "", ""}, res);
            return;
        }
        SendFile(file->Full(), type, res);
    }

    void SendFile(const std::string& path, const char* type, Response& res) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in && !in.eof()) {
            SendError(res, 500, "cannot read the file");
            return;
        }
        res.set_content(bytes, type);
    }

    void Thumbnail(const Request& req, Response& res) {
        const std::optional<ServedFile> file = Find(req, res);
        if (!file) return;
        const std::string key = ThumbnailKey(*file);
        if (const std::optional<std::string> picture = thumbnails_.Find(key)) {
            res.set_content(*picture, "image/jpeg");
            return;
        }
        if (Work({ServeJobKind::Thumbnail, file->folder, file->relative, "", ""}, res)) {
            thumbnails_.Keep(key, res.body);
        }
    }

    void Analyse(const Request& req, Response& res, ServeJobKind kind) {
        if (const std::optional<ServedFile> file = Find(req, res)) {
            Work({kind, file->folder, file->relative, "", ""}, res);
        }
    }

    void Rectify(const Request& req, Response& res) {
        std::string folderName;
        const std::optional<ServedFile> file = Find(req, res, &folderName);
        if (!file) return;
        const std::optional<ImagePathPieces> pieces = SplitImagePath(file->relative);
        if (!pieces) {
            SendError(res, 400,
                      "the file name has no extension, so no NAME_pers.EXT can be formed");
            return;
        }
        // The library writes NAME_pers.EXT beside the input, which is inside
        // the folder; a link there must not carry the write elsewhere.
        const std::string output = pieces->folder + pieces->name + "_pers." + pieces->extension;
        if (const std::optional<std::string> why = RefuseToWrite(file->folder + "/" + output)) {
            SendError(res, 403, "will not write " + output + ": " + *why);
            return;
        }
        if (Work({ServeJobKind::Rectify, file->folder, file->relative,
                  req.get_param_value("corners"), ""},
                 res)) {
            res.status = 201;
            res.set_header("Location",
                           "/api/image?folder=" + folderName + "&file=" + UrlEncode(output));
        }
    }

    void Export(const Request& req, Response& res) {
        std::string folderName;
        const std::optional<ServedFile> file = Find(req, res, &folderName);
        if (!file) return;
        const std::string dpi = req.get_param_value("dpi");
        if (!dpi.empty() && !ParseResolution(dpi)) {
            SendError(res, 400, "dpi must be a resolution above 0 and below 100000, not '" + dpi +
                                    "'");
            return;
        }
        // The input's own place under the exports, so that two inputs of one
        // name in different folders keep their own tiles.
        const std::string parent = std::filesystem::path(file->relative).parent_path().string();
        const std::string place = folderName + (parent.empty() ? "" : "/" + parent);
        std::error_code error;
        std::filesystem::create_directories(exports_.real + "/" + place, error);
        if (error) {
            SendError(res, 500, "cannot make a folder for the export: " + error.message());
            return;
        }
        if (Work({ServeJobKind::Export, file->folder, file->relative, dpi,
                  exports_.real + "/" + place},
                 res)) {
            res.status = 201;
            res.set_header("Location", "/api/download?file=" +
                                           UrlEncode(TilePath(place, file->relative,
                                                              ZENTREL_FORMAT_PNG)));
        }
    }

    void Upload(const Request& req, Response& res, const httplib::ContentReader& reader) {
        const std::string name = UploadName(req.get_param_value("name"));
        if (name.empty()) {
            SendError(res, 400, "an upload needs a file name with an extension, like photo.jpg");
            return;
        }
        std::string stored;
        int fd = -1;
        const std::size_t dot = name.find_last_of('.');
        for (int k = 1; fd < 0 && k <= 1000; ++k) {
            stored =
                k == 1 ? name : name.substr(0, dot) + "-" + std::to_string(k) + name.substr(dot);
            fd = open((uploads_.real + "/" + stored).c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            SendError(res, 500, "cannot store the upload: " + std::string(std::strerror(errno)));
            return;
        }
        const std::string path = uploads_.real + "/" + stored;
        std::uint64_t total = 0;
        bool tooLarge = false;
        bool written = true;
        const bool received = reader([&](const char* data, std::size_t length) {
            total += length;
            if (total > static_cast<std::uint64_t>(options_.maxUpload)) {
                tooLarge = true;
                return false;
            }
            written = WriteAll(fd, data, length);
            return written;
        });
        close(fd);
        if (!received || tooLarge || !written) {
            unlink(path.c_str());
            if (tooLarge || res.status == 413) {
                SendError(res, 413,
                          "the upload is larger than " + std::to_string(options_.maxUpload >> 20) +
                              " MB");
            } else {
                SendError(res, written ? 400 : 500, "the upload did not arrive whole");
            }
            return;
        }
        // Kept only once it decodes: the library's message otherwise.
        if (!Work({ServeJobKind::Check, uploads_.real, stored, "", ""}, res)) {
            unlink(path.c_str());
            return;
        }
        res.status = 201;
        res.set_header("Location", "/api/image?folder=uploads&file=" + UrlEncode(stored));
        res.set_content(
            "{\"ok\": true, \"folder\": \"uploads\", \"file\": " + JsonString(stored) + "}",
            "application/json");
    }

    void Download(const Request& req, Response& res) {
        Refusal refusal;
        const std::optional<ServedFile> file =
            ResolveServedFile(exports_, req.get_param_value("file"), refusal);
        if (!file) {
            SendError(res, refusal.status, refusal.message);
            return;
        }
        const char* type = BrowserImageType(file->relative);
        SendFile(file->Full(), type != nullptr ? type : "application/octet-stream", res);
        // The name comes from an input's, which may hold quotes or line breaks.
        std::string leaf = std::filesystem::path(file->relative).filename().string();
        for (char& c : leaf) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (!(std::isalnum(u) && u < 0x80) && c != '.' && c != '-' && c != '_') c = '_';
        }
        res.set_header("Content-Disposition", "attachment; filename=\"" + leaf + "\"");
    }

public:
    void SetPort(int port) { port_ = port; }

private:
    const ServeOptions& options_;
    const std::string token_;
    const ServedFolder root_;
    const ServedFolder uploads_;
    const ServedFolder exports_;
    JobService& service_;
    ThumbnailCache thumbnails_;
    httplib::Server server_;
    int port_ = 0;
};

std::string RealFolder(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        throw std::runtime_error("cannot serve " + path + ": " + std::strerror(errno));
    }
    const std::string result(real);
    std::free(real);
    struct stat status {};
    if (stat(result.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw std::runtime_error("cannot serve " + path + ": not a folder");
    }
    return result;
}

}  // namespace

int RunServe(const ServeOptions& options, int workers) {
    const std::string root = RealFolder(options.root);
    if (workers <= 0) {
        workers = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1,
                             kMaxDefaultWorkers);
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    // Signals are taken by one thread, so every thread (and every process
    // forked from here) blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const TemporaryFolder temp;
    JobService::Limits limits;
    limits.workers = workers;
    limits.queue = static_cast<std::size_t>(options.queue);
    limits.time = std::chrono::milliseconds(static_cast<long long>(options.timeLimit * 1000));
    // Before any thread starts: see JobService.
    JobService service(limits, [](const std::string& request) {
        const std::optional<ServeJob> job = DecodeServeJob(request);
        return EncodeServeReply(job ? RunServeJob(*job)
                                    : ServeReply{400, "application/json", ErrorJson("bad job")});
    });

    const int threads = std::min(kMaxThreads, workers + options.queue + kSpareThreads);
    PageServer server(options, root, temp, service, threads);
    const int port = server.Bind();
    if (port < 0) {
        std::cerr << "zentrel: cannot listen on " << options.host << " port " << options.port
                  << (options.port != 0 ? " (in use? --port 0 picks a free one)" : "") << '\n';
        return 1;
    }
    server.SetPort(port);
    const std::string url = PageUrl(options, port, server.Token());
    std::cout << "Serving the images in " << root << "\n"
              << "Open this address in a web browser (it holds this run's token):\n"
              << "    " << url << "\n"
              << "Press Ctrl-C to stop." << std::endl;
    if (options.open) OpenInBrowser(url);

    std::atomic<bool> stopping{false};
    std::thread signals([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        stopping = true;
        service.Stop();
        server.Stop();
    });
    const bool listened = server.Listen();
    const bool stoppedBySignal = stopping;
    if (!stoppedBySignal) kill(getpid(), SIGTERM);
    signals.join();
    if (!listened && !stoppedBySignal) {
        std::cerr << "zentrel: the server stopped on an error\n";
        return 1;
    }
    return 0;
}

}  // namespace zentrel::cli
