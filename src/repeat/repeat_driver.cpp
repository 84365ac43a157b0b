#include "repeat_driver.h"

#include <utility>

#include "image_file.h"
#include "refusal.h"
#include "repeat_rect.h"
#include "repeat_search.h"
#include "result_state.h"
#include "trace.h"

namespace zentrel {

void ClearResultLists() {
    foundList.clear();
    checkPoints.clear();
    foundPoints.clear();
    highList.clear();
}

void PublishCandidatePoints() {
    for (int i = 0; i < static_cast<int>(foundList.size()); ++i) {
        const cv::Point point(static_cast<int>(foundList[i].x), static_cast<int>(foundList[i].y));
        foundPoints.push_back(point);
        checkPoints.push_back(foundPoints[i]);
    }
}

void RunRepeatAnalysis(cv::Mat image) {
    FindRepeatCandidates(std::move(image));
    PublishCandidatePoints();
    const bool resolved = ResolveRepeatRect();
    Trace("Repeat_x = ", repeatX, " Repeat_y = ", repeatY, " Repeat_width = ", repeatW,
          " Repeat_height = ", repeatH);
    // The trace shows this failure as the previous rectangle, kept.
    if (!resolved) throw Refusal("no repeat rectangle could be resolved", Refusal::Line::Untraced);
}

void ShowRepeatPoints(const char* path) {
    ClearResultLists();
    ++showCount;
    Trace("Show F5 Count = ", showCount);
    if (path == nullptr) {
        throw Refusal("ShowRepeatPoints was given a null path; nothing was read");
    }
    Trace("C++ ImgURL = ", path);

    inputSize = cv::Size();
    cv::Mat inputImage = ReadImageFile(path);
    inputSize = inputImage.size();
    const std::int64_t workingHeight = WorkingHeight(inputImage.rows, inputImage.cols);
    if (workingHeight < 1 || workingHeight > kMaxWorkingHeight) {
        throw Refusal(Format("Cannot analyse ", path, ": a ", inputImage.cols, " x ",
                             inputImage.rows, " image scales to a working height of ",
                             workingHeight, " rows at 600 columns (1 to ", kMaxWorkingHeight,
                             " are possible)"));
    }
    RunRepeatAnalysis(std::move(inputImage));
}

}  // namespace zentrel
