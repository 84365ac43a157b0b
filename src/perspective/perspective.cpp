#include "perspective.h"

#include <cstdint>
#include <opencv2/imgproc.hpp>
#include <string>
#include <utility>

#include "image_file.h"
#include "output_path.h"
#include "point_distance.h"
#include "refusal.h"
#include "result_state.h"
#include "trace.h"

namespace zentrel {

namespace {

constexpr std::int64_t kMaxOutputPixels = std::int64_t{1} << 30;
// 2^31 as a float: the first value that no longer fits an int.
constexpr float kIntLimit = 2147483648.0f;

const char* FirstNullPiece(const char* savePath, const char* imageName, const char* imageExt) {
    if (savePath == nullptr) return "savePath";
    if (imageName == nullptr) return "imageName";
    if (imageExt == nullptr) return "imageExt";
    return nullptr;
}

std::string JoinedForMessage(const char* savePath, const char* imageName, const char* imageExt) {
    return std::string(savePath) + imageName + "." + imageExt;
}

}  // namespace

void OrderCorners(std::vector<cv::Point2f>& persPt) {
    for (int i = 0; i < 3; ++i) {
        int candidate = i;
        for (int j = i + 1; j < 4; ++j) {
            if (persPt[j].y <= persPt[candidate].y) candidate = j;
        }
        std::swap(persPt[i], persPt[candidate]);
    }
    if (!(persPt[0].x < persPt[1].x)) std::swap(persPt[0], persPt[1]);
    if (!(persPt[3].x < persPt[2].x)) std::swap(persPt[3], persPt[2]);
}

OutputExtent MeasureOutput(const std::vector<cv::Point2f>& persPt) {
    const float bottomWidth = PointDistance(persPt[2], persPt[3]);
    const float topWidth = PointDistance(persPt[1], persPt[0]);
    const float rightHeight = PointDistance(persPt[1], persPt[2]);
    const float leftHeight = PointDistance(persPt[0], persPt[3]);
    return {topWidth > bottomWidth ? topWidth : bottomWidth,
            leftHeight > rightHeight ? leftHeight : rightHeight};
}

std::optional<cv::Size> OutputImageSize(OutputExtent extent) {
    if (!(extent.maxW >= 1.0f && extent.maxW < kIntLimit)) return std::nullopt;
    if (!(extent.maxH >= 1.0f && extent.maxH < kIntLimit)) return std::nullopt;
    const int width = static_cast<int>(extent.maxW);
    const int height = static_cast<int>(extent.maxH);
    if (std::int64_t{width} * height > kMaxOutputPixels) return std::nullopt;
    return cv::Size(width, height);
}

void SavePerspectiveImage(int x1, int x2, int x3, int x4, int y1, int y2, int y3, int y4,
                          char* savePath, const char* imageName, const char* imageExt) {
    ++persCount;
    Trace("Pers F5 Count = ", persCount);
    if (const char* missing = FirstNullPiece(savePath, imageName, imageExt)) {
        throw Refusal(std::string("SavePerspectiveImage was given a null ") + missing +
                      " pointer; nothing was read or written");
    }

    std::vector<cv::Point2f> persPt;
    const int xs[4] = {x1, x2, x3, x4};
    const int ys[4] = {y1, y2, y3, y4};
    for (int k = 0; k < 4; ++k) {
        const cv::Point temp(xs[k], ys[k]);
        persPt.emplace_back(temp);
    }
    OrderCorners(persPt);

    const OutputExtent extent = MeasureOutput(persPt);
    Trace("maxW = ", extent.maxW);
    Trace("maxH = ", extent.maxH);
    const std::optional<cv::Size> outputSize = OutputImageSize(extent);
    if (!outputSize) {
        throw Refusal(Format("Cannot rectify: the corners give an output of ", extent.maxW, " x ",
                             extent.maxH,
                             " pixels; each side must be at least 1 and the whole at most ",
                             kMaxOutputPixels, " pixels"));
    }

    const cv::Point2f src[4] = {persPt[0], persPt[1], persPt[2], persPt[3]};
    const cv::Point2f dst[4] = {{0.0f, 0.0f},
                                {extent.maxW - 1.0f, 0.0f},
                                {extent.maxW - 1.0f, extent.maxH - 1.0f},
                                {0.0f, extent.maxH - 1.0f}};

    char tmpSavePath[kInputPathCapacity];
    if (!JoinInputPath(savePath, imageName, imageExt, tmpSavePath)) {
        const std::string joined = JoinedForMessage(savePath, imageName, imageExt);
        throw Refusal(Format("Input path is too long (", joined.size(), " characters, at most ",
                             kInputPathCapacity - 1, "): ", joined));
    }

    const cv::Mat ori_input = ReadImageFile(tmpSavePath);
    const cv::Mat perMat = cv::getPerspectiveTransform(src, dst, cv::DECOMP_LU);
    cv::Mat persInput;
    cv::warpPerspective(ori_input, persInput, perMat, *outputSize, cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar());

    PublishAndWrite(tmpSavePath, imageExt, savePath, persInput);
}

}  // namespace zentrel
