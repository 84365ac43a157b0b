#include "result_state.h"

namespace zentrel {

// Definition order is construction order at load, and reverse destruction
// order at unload.
std::unique_ptr<platform::WideChar[]> savedPath;
std::int32_t showCount = 0;
std::int32_t persCount = 0;
std::int32_t repeatX = 0;
std::int32_t repeatY = 0;
std::int32_t repeatW = 0;
std::int32_t repeatH = 0;
cv::Size inputSize;
std::vector<Vector2> foundList;
std::vector<cv::Point> checkPoints;
std::vector<cv::Point> foundPoints;
std::vector<float> highList;
cv::Point cornerA;
cv::Point cornerB;

}  // namespace zentrel
