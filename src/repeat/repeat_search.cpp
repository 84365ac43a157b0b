#include "repeat_search.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "candidate_band.h"
#include "crop_image.h"
#include "keypoint_target.h"

namespace zentrel {

std::int64_t WorkingHeight(int rows, int columns) {
    return std::int64_t{rows} * kWorkingWidth / columns;
}

cv::Mat MakeWorkingImage(const cv::Mat& input) {
    cv::Mat resized;
    const cv::Size working(kWorkingWidth, static_cast<int>(WorkingHeight(input.rows, input.cols)));
    cv::resize(input, resized, working, 0, 0, cv::INTER_LINEAR);
    const int depth = resized.depth();
    if (depth == CV_8U || depth == CV_32F) return resized;

    // The matcher takes only 8-bit and float images. 16-bit samples are
    // brought into 0..1; other depths keep their values.
    double scale = 1.0;
    double shift = 0.0;
    if (depth == CV_16U || depth == CV_16S) scale = 1.0 / 65535;
    if (depth == CV_16S) shift = 32768.0 / 65535;
    cv::Mat converted;
    resized.convertTo(converted, CV_32F, scale, shift);
    return converted;
}

namespace {

bool AnyPositive8(const float* cells) {
    bool any = false;
    for (int k = 0; k < 8; ++k) any |= cells[k] > 0.0f;
    return any;
}

}  // namespace

std::vector<HighPos> GatherCandidates(const cv::Mat& scores, float span) {
    std::vector<HighPos> resultHigh;
    CandidateBand band(resultHigh, span);
    std::vector<int> overwritten;
    for (int i = 0; i < scores.rows; ++i) {
        const float* row = scores.ptr<float>(i);
        band.StartRow(i);
        for (int j = 0; j < scores.cols; ++j) {
            // Most cells are zero: skip them eight at a time, in a test the
            // compiler can vectorise, and before the division. The quotient
            // can still underflow to zero, hence the second test below.
            if ((j & 7) == 0 && j + 8 <= scores.cols && !AnyPositive8(row + j)) {
                j += 7;
                continue;
            }
            if (!(row[j] > 0.0f)) continue;
            const double s = static_cast<double>(row[j] / 100.0f);
            if (!(s > 0)) continue;
            const Vector2 p{static_cast<float>(j), static_cast<float>(i)};
            bool near = false;
            overwritten.clear();
            // Each overwrite depends only on its own candidate and this cell,
            // so the band's visiting order does not matter; the moves wait
            // until the visit is over.
            const auto [first, last] = band.WithinReach(p);
            for (const CandidateBand::Entry* entry = first; entry != last; ++entry) {
                const HighPos& candidate = resultHigh[static_cast<std::size_t>(entry->index)];
                const bool stronger = s > candidate.similarity;
                if (near && !stronger) continue;  // the test could change nothing
                if (PointDistance(candidate.position, p) < span) {
                    near = true;
                    if (stronger) overwritten.push_back(entry->index);
                }
            }
            for (const int k : overwritten) {
                band.Remove(k);
                resultHigh[static_cast<std::size_t>(k)] = HighPos{s, p};
                band.Add(k);
            }
            if (!near) {
                resultHigh.push_back(HighPos{s, p});
                band.Add(static_cast<int>(resultHigh.size()) - 1);
            }
        }
    }
    return resultHigh;
}

void PruneCandidates(std::vector<HighPos>& candidates, float span) {
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(candidates.size()) - 1; ++i) {
        for (std::ptrdiff_t j = i + 1; j < static_cast<std::ptrdiff_t>(candidates.size());) {
            if (PointDistance(candidates[i].position, candidates[j].position) < span &&
                candidates[i].similarity >= candidates[j].similarity) {
                candidates.erase(candidates.begin() + j);  // the next one moves into j
            } else {
                ++j;
            }
        }
    }
}

void OrderCandidates(std::vector<HighPos>& candidates) {
    const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(candidates.size());
    for (std::ptrdiff_t i = 0; i < size - 1; ++i) {
        std::ptrdiff_t best = i;
        for (std::ptrdiff_t j = i + 1; j < size; ++j) {
            if (candidates[j].similarity >= candidates[best].similarity) best = j;
        }
        std::swap(candidates[i], candidates[best]);
    }
}

Vector2 MapToInput(Vector2 centre, cv::Size input, cv::Size working) {
    return {(static_cast<float>(input.width) * centre.x) / static_cast<float>(working.width),
            (static_cast<float>(input.height) * centre.y) / static_cast<float>(working.height)};
}

cv::Mat SearchRegion(const cv::Mat& working) {
    const int R = working.rows;
    const int C = working.cols;
    return CropImage(working, static_cast<int>(C * 0.25), static_cast<int>(R * 0.25),
                     static_cast<int>(C * 0.5), static_cast<int>(R * 0.5));
}

cv::Mat MatchScores(const cv::Mat& working, const cv::Mat& target) {
    cv::Mat result(working.rows - target.rows + 1, working.cols - target.cols + 1, CV_32FC1);
    cv::matchTemplate(working, target, result, cv::TM_CCOEFF_NORMED);
    return result;
}

void ThresholdScores(cv::Mat& scores) {
    cv::threshold(scores, scores, kScoreThreshold, 1.0, cv::THRESH_TOZERO);
}

float MatchSpan(cv::Size target) {
    return std::max(static_cast<float>(target.width), static_cast<float>(target.height));
}

void PublishCandidates(const std::vector<HighPos>& ordered, float span, cv::Size input,
                       cv::Size working) {
    std::vector<Vector2> posList;
    std::vector<float> simList;
    posList.reserve(ordered.size());
    simList.reserve(ordered.size());
    const float halfSpan = span / 2;
    for (const HighPos& candidate : ordered) {
        posList.push_back({static_cast<float>(static_cast<int>(candidate.position.x)) + halfSpan,
                           static_cast<float>(static_cast<int>(candidate.position.y)) + halfSpan});
        simList.push_back(static_cast<float>(candidate.similarity));
    }

    if (!simList.empty()) {
        const float base = simList[0];
        for (std::size_t k = 0; k < posList.size(); ++k) {
            const Vector2 tempRepeatFoundElem = MapToInput(posList[k], input, working);
            foundList.push_back(tempRepeatFoundElem);
            simList[k] = simList[k] / base;
        }
    }
    highList = simList;
}

void FindRepeatCandidates(cv::Mat input) {
    const cv::Mat resizedInput = MakeWorkingImage(input);
    const cv::Size original = input.size();
    // The search's own working memory comes after this, not on top of the
    // decoded image.
    input.release();
    const cv::Mat target = FindKeypointTarget(SearchRegion(resizedInput));

    cv::Mat result = MatchScores(resizedInput, target);
    ThresholdScores(result);
    const float span = MatchSpan(target.size());

    std::vector<HighPos> resultHigh = GatherCandidates(result, span);
    PruneCandidates(resultHigh, span);
    OrderCandidates(resultHigh);
    PublishCandidates(resultHigh, span, original, resizedInput.size());
}

}  // namespace zentrel
