#include "output_path.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "platform_strings.h"
#include "refusal.h"
#include "result_state.h"
#include "trace.h"

namespace zentrel {

namespace {

constexpr const char* kOutputSuffix = "_pers";

void PublishWidePath(const char* path) {
    const int needed = platform::NarrowToWide(path, -1, nullptr, 0);
    if (needed <= 0) throw std::runtime_error("the output path cannot be converted to UTF-16");
    std::unique_ptr<platform::WideChar[]> wide(new platform::WideChar[needed]);
    const int sourceLength = static_cast<int>(std::strlen(path) + 1);
    if (platform::NarrowToWide(path, sourceLength, wide.get(), needed) != needed) {
        throw std::runtime_error("the output path cannot be converted to UTF-16");
    }
    savedPath = std::move(wide);  // releases the superseded buffer
}

}  // namespace

bool JoinInputPath(const char* savePath, const char* imageName, const char* imageExt,
                   char (&tmpSavePath)[kInputPathCapacity]) {
    const bool joined = platform::CopyString(tmpSavePath, kInputPathCapacity, savePath) &&
                        platform::AppendString(tmpSavePath, kInputPathCapacity, imageName) &&
                        platform::AppendString(tmpSavePath, kInputPathCapacity, ".") &&
                        platform::AppendString(tmpSavePath, kInputPathCapacity, imageExt);
    if (!joined) return false;
    Trace("tmpSavePath = Original Image Path", tmpSavePath);
    return true;
}

std::string DeriveOutputPath(const std::string& joinedPath, std::size_t extensionLength) {
    std::string outputPath = joinedPath;
    outputPath.insert(joinedPath.size() - (extensionLength + 1), kOutputSuffix);
    return outputPath;
}

void PublishAndWrite(const char* tmpSavePath, const char* imageExt, char* savePath,
                     const cv::Mat& persInput) {
    const std::string outputPath = DeriveOutputPath(tmpSavePath, std::strlen(imageExt));
    if (!platform::CopyString(savePath, outputPath.size() + 1, outputPath.c_str())) {
        throw std::logic_error("the output path does not fit its own length");
    }
    Trace("persImageSavePath = ", savePath);
    PublishWidePath(savePath);
    Trace("FinalSavePath = ", savePath);

    std::string failure;
    try {
        if (!cv::imwrite(std::string(savePath), persInput, std::vector<int>())) {
            failure = "the encoder refused the image or the file cannot be created";
        }
    } catch (const cv::Exception& error) {
        failure = error.err;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!failure.empty()) {
        throw Refusal(std::string("Could not write the rectified image to ") + savePath + ": " +
                      failure);
    }
    Trace("Complete SaveImage");
}

}  // namespace zentrel
