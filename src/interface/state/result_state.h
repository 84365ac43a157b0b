// The library-wide result state: what the working calls leave behind for the
// getters, and the lists through which the steps of a repeat analysis hand
// data to one another. One instance per loaded library; calls are serialized
// by the exported functions, so nothing here locks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "platform_strings.h"

namespace zentrel {

// A position found by the repeat search, single precision, x then y. Plain
// record: its fields are deliberately left uninitialised by default.
struct Vector2 {
    float x;
    float y;
};

// Path of the last rectified image, UTF-16; null until the first one. The
// superseded buffer is released when a new one is installed.
extern std::unique_ptr<platform::WideChar[]> savedPath;
extern std::int32_t showCount;
extern std::int32_t persCount;
extern std::int32_t repeatX;
extern std::int32_t repeatY;
extern std::int32_t repeatW;
extern std::int32_t repeatH;
// The size of the last analysis's input image. Its pixels are released as
// soon as the working image is made; nothing after that reads them.
extern cv::Size inputSize;
extern std::vector<Vector2> foundList;
extern std::vector<cv::Point> checkPoints;
extern std::vector<cv::Point> foundPoints;
extern std::vector<float> highList;
// The two candidates that span the repeat rectangle.
extern cv::Point cornerA;
extern cv::Point cornerB;

}  // namespace zentrel
