#include "serve_jobs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "byte_record.h"
#include "command_line.h"
#include "image_job.h"
#include "json_text.h"
#include "outcome_text.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::cli {

namespace {

// Thumbnails fit this square; twice the list's size, for sharp screens.
constexpr int kThumbnailSide = 240;
// Files above these sizes are decoded at a half or a quarter for a
// thumbnail (JPEG does it almost for free).
constexpr std::int64_t kReduceByTwo = 2 << 20;
constexpr std::int64_t kReduceByFour = 8 << 20;

ServeReply Json(int status, std::string body) { return {status, "application/json", body}; }

ServeReply Picture(const char* type, const char* extension, const cv::Mat& image,
                   const std::vector<int>& parameters) {
    std::vector<unsigned char> bytes;
    if (!cv::imencode(extension, image, bytes, parameters)) {
        return Json(500, ErrorJson("cannot encode the picture"));
    }
    return {200, type, std::string(bytes.begin(), bytes.end())};
}

std::int64_t FileSize(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? static_cast<std::int64_t>(status.st_size) : 0;
}

ServeReply Thumbnail(const std::string& file) {
    const std::int64_t size = FileSize(file);
    const int mode = size > kReduceByFour  ? cv::IMREAD_REDUCED_COLOR_4
                     : size > kReduceByTwo ? cv::IMREAD_REDUCED_COLOR_2
                                           : cv::IMREAD_COLOR;
    const cv::Mat image = cv::imread(file, mode);
    if (image.empty()) return Json(422, ErrorJson("cannot decode " + file));
    const double scale =
        std::min(1.0, static_cast<double>(kThumbnailSide) / std::max(image.cols, image.rows));
    cv::Mat small = image;
    if (scale < 1.0) {
        cv::resize(image, small,
                   cv::Size(std::max(1, cvRound(image.cols * scale)),
                            std::max(1, cvRound(image.rows * scale))),
                   0, 0, cv::INTER_AREA);
    }
    return Picture("image/jpeg", ".jpg", small, {cv::IMWRITE_JPEG_QUALITY, 85});
}

ServeReply Display(const std::string& file) {
    const cv::Mat image = cv::imread(file, cv::IMREAD_COLOR);
    if (image.empty()) return Json(422, ErrorJson("cannot decode " + file));
    return Picture("image/png", ".png", image, {cv::IMWRITE_PNG_COMPRESSION, 1});
}

ServeReply Check(const std::string& file) {
    const cv::Mat image = cv::imread(file, cv::IMREAD_UNCHANGED);
    if (image.empty()) {
        // The library's own words for a file it cannot read.
        ZentrelTile tile{};
        tile.size = sizeof tile;
        if (zentrel_estimate_tile(file.c_str(), &tile) != ZENTREL_OK) {
            return Json(422, ErrorJson(zentrel_last_error()));
        }
    }
    return Json(200, "{\"ok\": true, \"width\": " + std::to_string(image.cols) +
                         ", \"height\": " + std::to_string(image.rows) + "}");
}

ServeReply Run(const ServeJob& job) {
    const JobSettings settings;
    switch (job.kind) {
        case ServeJobKind::Repeat: {
            const RepeatOutcome outcome = RunRepeat(job.file, settings);
            return Json(outcome.ok ? 200 : 422, RepeatJson(job.file, outcome));
        }
        case ServeJobKind::Tile: {
            const TileOutcome outcome = RunTile(job.file, settings);
            return Json(outcome.ok ? 200 : 422, TileJson(job.file, outcome));
        }
        case ServeJobKind::Rectify: {
            const std::optional<std::array<int, 8>> corners = ParseCorners(job.argument);
            if (!corners) {
                return Json(400, ErrorJson("corners must be eight integers separated by commas"));
            }
            const RectifyOutcome outcome = RunRectify(job.file, *corners, settings);
            return Json(outcome.ok ? 200 : 422, RectifyJson(job.file, outcome));
        }
        case ServeJobKind::Quad: {
            const RectifyOutcome outcome = RunFindQuad(job.file, settings);
            return Json(outcome.ok ? 200 : 422, QuadJson(job.file, outcome));
        }
        case ServeJobKind::Export: {
            JobSettings exporting;
            exporting.tileExport = TileExport{job.output, {}};
            exporting.tileExport->options.size = sizeof(ZentrelExportOptions);
            if (!job.argument.empty()) exporting.tileExport->options.dpi = std::stod(job.argument);
            const TileOutcome outcome = RunTile(job.file, exporting);
            return Json(outcome.ok ? 200 : 422, TileJson(job.file, outcome));
        }
        case ServeJobKind::Thumbnail:
            return Thumbnail(job.file);
        case ServeJobKind::Display:
            return Display(job.file);
        case ServeJobKind::Check:
            return Check(job.file);
    }
    return Json(400, ErrorJson("unknown job"));
}

}  // namespace

std::string ErrorJson(const std::string& message) {
    return "{\"ok\": false, \"error\": " + JsonString(message) + "}";
}

std::string EncodeServeJob(const ServeJob& job) {
    std::string out;
    PutInt(out, static_cast<std::int64_t>(job.kind));
    PutString(out, job.folder);
    PutString(out, job.file);
    PutString(out, job.argument);
    PutString(out, job.output);
    return out;
}

std::optional<ServeJob> DecodeServeJob(const std::string& bytes) {
    ByteReader reader(bytes);
    ServeJob job;
    std::int64_t kind = 0;
    if (!reader.Int(kind) || kind < 0 || kind > static_cast<std::int64_t>(ServeJobKind::Check) ||
        !reader.String(job.folder) || !reader.String(job.file) || !reader.String(job.argument) ||
        !reader.String(job.output) || !reader.AtEnd()) {
        return std::nullopt;
    }
    job.kind = static_cast<ServeJobKind>(kind);
    return job;
}

std::string EncodeServeReply(const ServeReply& reply) {
    std::string out;
    PutInt(out, reply.status);
    PutString(out, reply.type);
    PutString(out, reply.body);
    return out;
}

std::optional<ServeReply> DecodeServeReply(const std::string& bytes) {
    ByteReader reader(bytes);
    ServeReply reply;
    if (!reader.Int(reply.status) || !reader.String(reply.type) || !reader.String(reply.body) ||
        !reader.AtEnd()) {
        return std::nullopt;
    }
    return reply;
}

ServeReply RunServeJob(const ServeJob& job) {
    try {
        // Relative names make the records read as the tool's run in the folder.
        if (chdir(job.folder.c_str()) != 0) {
            return Json(500, ErrorJson("cannot enter the served folder: " +
                                       std::string(std::strerror(errno))));
        }
        return Run(job);
    } catch (const cv::Exception& error) {
        return Json(422, ErrorJson(error.err));
    } catch (const std::exception& error) {
        return Json(500, ErrorJson(error.what()));
    }
}

}  // namespace zentrel::cli
