// The template-match repeat search: a template cut from the middle of the
// image is matched over the whole image at a working width of 600 columns,
// and one candidate is kept per cluster of strong matches.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "point_distance.h"
#include "result_state.h"

namespace zentrel {

constexpr int kWorkingWidth = 600;
constexpr float kScoreThreshold = 0.3f;

// One match candidate. Plain record, like Vector2.
struct HighPos {
    double similarity;  // the match score divided by 100
    Vector2 position;   // top-left corner of the placement, working pixels
};

// Rows of the working image for an input of `rows` x `columns`:
// rows * 600 / columns, truncated. Wide enough not to overflow.
std::int64_t WorkingHeight(int rows, int columns);

// The working image: `input` resized to 600 columns, and converted to 32-bit
// float when its depth is one the matcher cannot take.
cv::Mat MakeWorkingImage(const cv::Mat& input);

// The middle half of the working image, where the template is looked for.
cv::Mat SearchRegion(const cv::Mat& working);

// The TM_CCOEFF_NORMED score of `target` at every placement in `working`.
cv::Mat MatchScores(const cv::Mat& working, const cv::Mat& target);

// Sets every score of at most the threshold to zero, in place.
void ThresholdScores(cv::Mat& scores);

// How close two placements must be to count as one: the template's longer side.
float MatchSpan(cv::Size target);

// Candidates from a thresholded score map (CV_32FC1), in scan order: a cell
// closer than `span` to a candidate overwrites every weaker one it is near,
// and starts a new candidate when it is near none. Which candidates a cell is
// near is decided by PointDistance alone; an index only spares the tests
// of candidates too far away to pass it.
std::vector<HighPos> GatherCandidates(const cv::Mat& scores, float span);

// Drops every later candidate closer than `span` to an earlier one whose
// score is at least as high.
void PruneCandidates(std::vector<HighPos>& candidates, float span);

// Best first; among equal scores the later one is picked first.
void OrderCandidates(std::vector<HighPos>& candidates);

// A centre in the working image mapped back to the input, by the working
// image's real size (its height was truncated).
Vector2 MapToInput(Vector2 centre, cv::Size input, cv::Size working);

// Appends the centres of `ordered` (placements `span` wide), mapped back to an
// input of `input` pixels, to foundList, and sets highList to their scores
// relative to the first one.
void PublishCandidates(const std::vector<HighPos>& ordered, float span, cv::Size input,
                       cv::Size working);

// Runs the search on `input` and leaves the candidates' centres, in input
// pixels, appended to foundList and their scores relative to the best in
// highList. `input` is released once the working image is made, so the
// pixels are freed then when the caller holds no other reference.
void FindRepeatCandidates(cv::Mat input);

}  // namespace zentrel
