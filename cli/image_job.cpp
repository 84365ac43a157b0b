#include "image_job.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_record.h"
#include "image_path.h"
#include "preview_pictures.h"
#include "zentrel/zentrel.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::cli {

namespace {

// The library's input path limit is 199 characters; the buffer must also hold
// the "_pers" output path, and 205 bytes is what the library asks for.
constexpr std::size_t kMinimumPathBuffer = 205;

// Collects the library's trace lines for one call through the public
// callback, as a host of the shared library would.
class CallbackCapture {
public:
    CallbackCapture() { zentrel_set_trace_callback(&CallbackCapture::Collect, this); }
    ~CallbackCapture() { zentrel_set_trace_callback(nullptr, nullptr); }
    CallbackCapture(const CallbackCapture&) = delete;
    CallbackCapture& operator=(const CallbackCapture&) = delete;
    const std::string& Text() const { return text_; }

private:
    static void Collect(const char* line, void* user) {
        // Nothing may be thrown back into the library.
        try {
            std::string& text = static_cast<CallbackCapture*>(user)->text_;
            text += line;
            text += '\n';
        } catch (...) {
        }
    }

    std::string text_;
};

// The candidate centres of the analysis just made, for the overview picture.
std::vector<cv::Point> RepeatCandidates() {
    std::vector<ZentrelPoint> points(
        static_cast<std::size_t>(zentrel_repeat_candidates(nullptr, 0)));
    const int count = zentrel_repeat_candidates(points.data(), static_cast<int>(points.size()));
    points.resize(std::min(points.size(), static_cast<std::size_t>(count)));
    std::vector<cv::Point> centres;
    for (const ZentrelPoint& point : points) {
        centres.emplace_back(static_cast<int>(point.x), static_cast<int>(point.y));
    }
    return centres;
}

}  // namespace

RepeatOutcome RunRepeat(const std::string& path, const JobSettings& settings) {
    RepeatOutcome outcome;
    std::vector<cv::Point> centres;
    {
        const CallbackCapture capture;
        ShowRepeatPoints(path.c_str());
        if (settings.keepTrace) outcome.trace = capture.Text();
        // The getters would keep the previous image's rectangle after a failure.
        outcome.error = zentrel_last_error();
        outcome.ok = outcome.error.empty();
        if (outcome.ok) {
            outcome.x = ReturnX();
            outcome.y = ReturnY();
            outcome.width = ReturnW();
            outcome.height = ReturnH();
            centres = RepeatCandidates();
        }
    }
    if (outcome.ok && settings.previewFolder) {
        outcome.previewError = WriteRepeatPreview(
            path, *settings.previewFolder,
            cv::Rect(outcome.x, outcome.y, outcome.width, outcome.height), centres);
    }
    return outcome;
}

std::string TilePath(const std::string& folder, const std::string& image, int format) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    const char* extension = format == ZENTREL_FORMAT_TIFF   ? ".tif"
                            : format == ZENTREL_FORMAT_JPEG ? ".jpg"
                                                            : ".png";
    return path + ImageStem(image) + "_tile" + extension;
}

TileOutcome RunTile(const std::string& path, const JobSettings& settings) {
    TileOutcome outcome;
    outcome.tile.size = sizeof outcome.tile;
    outcome.exportAsked = settings.tileExport.has_value();
    {
        const CallbackCapture capture;
        outcome.ok = zentrel_estimate_tile(path.c_str(), &outcome.tile) == ZENTREL_OK;
        outcome.estimated = outcome.ok;
        if (!outcome.ok) outcome.error = zentrel_last_error();
        if (outcome.ok && settings.tileExport) {
            const std::string tilePath =
                TilePath(settings.tileExport->folder, path, settings.tileExport->options.format);
            outcome.written.size = sizeof outcome.written;
            // Without a repeat the library's own refusal names it.
            const ZentrelTile* found = outcome.tile.found != 0 ? &outcome.tile : nullptr;
            if (zentrel_extract_tile(path.c_str(), found, tilePath.c_str(),
                                     &settings.tileExport->options,
                                     &outcome.written) == ZENTREL_OK) {
                outcome.exported = true;
                outcome.tilePath = tilePath;
            } else {
                outcome.ok = false;
                outcome.error = zentrel_last_error();
            }
        }
        if (settings.keepTrace) outcome.trace = capture.Text();
    }
    if (outcome.ok && outcome.tile.found != 0 && settings.previewFolder) {
        outcome.previewError = WriteTilePreview(path, *settings.previewFolder, outcome.tile);
        if (outcome.previewError.empty() && outcome.exported) {
            outcome.previewError =
                WriteSeamsPreview(outcome.tilePath, path, *settings.previewFolder, outcome.written);
        }
    }
    return outcome;
}

RectifyOutcome RunRectify(const std::string& path, const std::array<int, 8>& corners,
                          const JobSettings& settings) {
    RectifyOutcome outcome;
    const std::optional<ImagePathPieces> pieces = SplitImagePath(path);
    if (!pieces) {
        outcome.error = "the file name has no extension, so no NAME_pers.EXT can be formed";
        return outcome;
    }
    const std::size_t joined =
        pieces->folder.size() + pieces->name.size() + pieces->extension.size() + 1;
    std::vector<char> savePath(std::max(kMinimumPathBuffer, joined + 6), '\0');
    std::memcpy(savePath.data(), pieces->folder.c_str(), pieces->folder.size() + 1);
    {
        const CallbackCapture capture;
        SavePerspectiveImage(corners[0], corners[2], corners[4], corners[6], corners[1], corners[3],
                             corners[5], corners[7], savePath.data(), pieces->name.c_str(),
                             pieces->extension.c_str());
        if (settings.keepTrace) outcome.trace = capture.Text();
        outcome.error = zentrel_last_error();
        outcome.ok = outcome.error.empty();
    }
    if (!outcome.ok) return outcome;
    outcome.output = savePath.data();
    if (settings.previewFolder) {
        outcome.previewError = WriteQuadPreview(path, *settings.previewFolder, corners);
    }
    return outcome;
}

RectifyOutcome RunFindQuad(const std::string& path, const JobSettings& settings) {
    RectifyOutcome outcome;
    outcome.suggested.emplace();
    ZentrelQuad quad{};
    quad.size = sizeof quad;
    {
        const CallbackCapture capture;
        const bool searched = zentrel_find_quad(path.c_str(), &quad) == ZENTREL_OK;
        if (settings.keepTrace) outcome.trace = capture.Text();
        if (!searched) {
            outcome.error = zentrel_last_error();
            return outcome;
        }
    }
    outcome.ok = true;
    if (quad.found == 0) return outcome;
    SuggestedCorners& suggested = *outcome.suggested;
    suggested.found = true;
    suggested.confidence = quad.confidence;
    for (int k = 0; k < 4; ++k) {
        // The rectification takes whole pixels; the corners lie within a few
        // pixels of the image, far from the int range.
        suggested.corners[2 * k] = static_cast<int>(std::lround(quad.corners[k].x));
        suggested.corners[2 * k + 1] = static_cast<int>(std::lround(quad.corners[k].y));
    }
    return outcome;
}

RectifyOutcome RunAutoRectify(const std::string& path, const JobSettings& settings) {
    RectifyOutcome outcome = RunFindQuad(path, settings);
    if (!outcome.ok) return outcome;
    if (!outcome.suggested->found) {
        outcome.ok = false;
        outcome.error = "no quadrilateral found; give its corners with --corners";
        return outcome;
    }
    RectifyOutcome rectified = RunRectify(path, outcome.suggested->corners, settings);
    rectified.trace = outcome.trace + rectified.trace;
    rectified.suggested = outcome.suggested;
    return rectified;
}

std::string EncodeRepeatOutcome(const RepeatOutcome& outcome) {
    std::string out;
    PutInt(out, outcome.ok ? 1 : 0);
    PutInt(out, outcome.x);
    PutInt(out, outcome.y);
    PutInt(out, outcome.width);
    PutInt(out, outcome.height);
    PutString(out, outcome.error);
    PutString(out, outcome.trace);
    PutString(out, outcome.previewError);
    return out;
}

std::optional<RepeatOutcome> DecodeRepeatOutcome(const std::string& bytes) {
    ByteReader reader(bytes);
    RepeatOutcome outcome;
    std::int64_t ok = 0;
    if (!reader.Int(ok) || !reader.Int(outcome.x) || !reader.Int(outcome.y) ||
        !reader.Int(outcome.width) || !reader.Int(outcome.height) ||
        !reader.String(outcome.error) || !reader.String(outcome.trace) ||
        !reader.String(outcome.previewError) || !reader.AtEnd()) {
        return std::nullopt;
    }
    outcome.ok = ok != 0;
    return outcome;
}

std::string EncodeTileOutcome(const TileOutcome& outcome) {
    std::string out;
    PutInt(out, outcome.ok ? 1 : 0);
    // Workers are forks of this very program, so the structs' bytes are their format.
    PutString(out, std::string(reinterpret_cast<const char*>(&outcome.tile), sizeof outcome.tile));
    PutString(out, outcome.error);
    PutString(out, outcome.trace);
    PutString(out, outcome.previewError);
    PutInt(out, (outcome.exportAsked ? 1 : 0) + (outcome.exported ? 2 : 0) +
                    (outcome.estimated ? 4 : 0));
    PutString(out, outcome.tilePath);
    PutString(out,
              std::string(reinterpret_cast<const char*>(&outcome.written), sizeof outcome.written));
    return out;
}

std::optional<TileOutcome> DecodeTileOutcome(const std::string& bytes) {
    ByteReader reader(bytes);
    TileOutcome outcome;
    std::int64_t ok = 0;
    std::int64_t exported = 0;
    std::string tile;
    std::string written;
    if (!reader.Int(ok) || !reader.String(tile) || tile.size() != sizeof outcome.tile ||
        !reader.String(outcome.error) || !reader.String(outcome.trace) ||
        !reader.String(outcome.previewError) || !reader.Int(exported) ||
        !reader.String(outcome.tilePath) || !reader.String(written) ||
        written.size() != sizeof outcome.written || !reader.AtEnd()) {
        return std::nullopt;
    }
    outcome.ok = ok != 0;
    outcome.exportAsked = (exported & 1) != 0;
    outcome.exported = (exported & 2) != 0;
    outcome.estimated = (exported & 4) != 0;
    std::memcpy(&outcome.tile, tile.data(), sizeof outcome.tile);
    std::memcpy(&outcome.written, written.data(), sizeof outcome.written);
    return outcome;
}

}  // namespace zentrel::cli
