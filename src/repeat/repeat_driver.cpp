#include "repeat_driver.h"

#include <string>
#include <utility>

#include "call_status.h"
#include "image_file.h"
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

void RunRepeatAnalysis(cv::Mat image) {
    FindRepeatCandidates(std::move(image));
    for (int i = 0; i < static_cast<int>(foundList.size()); ++i) {
        const cv::Point point(static_cast<int>(foundList[i].x), static_cast<int>(foundList[i].y));
        foundPoints.push_back(point);
        checkPoints.push_back(foundPoints[i]);
    }
    const bool resolved = ResolveRepeatRect();
    Trace("Repeat_x = ", repeatX, " Repeat_y = ", repeatY, " Repeat_width = ", repeatW,
          " Repeat_height = ", repeatH);
    if (resolved) {
        MarkSucceeded();
    } else {
        RecordFailure("no repeat rectangle could be resolved");
    }
}

void ShowRepeatPoints(const char* path) {
    ClearResultLists();
    ++showCount;
    Trace("Show F5 Count = ", showCount);
    if (path == nullptr) {
        ReportError("ShowRepeatPoints was given a null path; nothing was read");
        return;
    }
    Trace("C++ ImgURL = ", path);

    cv::Mat inputImage = ReadImageFile(path);
    inputSize = inputImage.size();
    if (inputImage.empty()) {
        ReportError(std::string("Could not read image file: ") + path);
        return;
    }
    const std::int64_t workingHeight = WorkingHeight(inputImage.rows, inputImage.cols);
    if (workingHeight < 1 || workingHeight > kMaxWorkingHeight) {
        ReportError(Format("Cannot analyse ", path, ": a ", inputImage.cols, " x ",
                           inputImage.rows, " image scales to a working height of ",
                           workingHeight, " rows at 600 columns (1 to ", kMaxWorkingHeight,
                           " are possible)"));
        return;
    }
    RunRepeatAnalysis(std::move(inputImage));
}

}  // namespace zentrel
