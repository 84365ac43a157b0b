// The candidate gathering, pruning and ordering on arbitrary score maps and
// spans. The banded gathering must give the plain scan's list bit for bit;
// pruning must leave no candidate near an earlier one at least as strong,
// and ordering must sort that list best first without losing or adding one.
//
// Input: a flags byte (bit 0: scores are raw 32-bit floats instead of one
// byte per cell; bit 1: the span is a raw float instead of a byte / 8), the
// rows and columns bytes, the span, then the cells in scan order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_input.h"
#include "fuzz_support.h"
#include "gather_by_scan.h"
#include "repeat_search.h"

namespace {

using zentrel::HighPos;
using zentrel::fuzz::Check;
using zentrel::fuzz::Fail;

// The plain scan and the checks cost up to cells x cells; 256 cells keep a
// run fast while leaving room for every shape of band.
constexpr int kMaxCells = 256;

bool SameBits(const HighPos& a, const HighPos& b) {
    return std::memcmp(&a.similarity, &b.similarity, sizeof a.similarity) == 0 &&
           std::memcmp(&a.position, &b.position, sizeof a.position) == 0;
}

bool SameList(const std::vector<HighPos>& a, const std::vector<HighPos>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameBits);
}

// The same candidates in one canonical order, to compare lists as multisets.
std::vector<HighPos> Sorted(std::vector<HighPos> candidates) {
    std::sort(candidates.begin(), candidates.end(), [](const HighPos& a, const HighPos& b) {
        return std::make_tuple(a.similarity, a.position.x, a.position.y) <
               std::make_tuple(b.similarity, b.position.x, b.position.y);
    });
    return candidates;
}

// Most cells of a thresholded map are zero; the rest take one of a few
// levels, so that equal scores are common.
float ByteScore(std::uint8_t byte) {
    if (byte < 128) return 0.0f;
    return 0.3f + static_cast<float>(byte & 0x0F) * (0.7f / 15.0f);
}

std::string Describe(const HighPos& candidate) {
    return "(" + std::to_string(candidate.position.x) + ", " +
           std::to_string(candidate.position.y) + ") " + std::to_string(candidate.similarity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zentrel::fuzz::ByteReader input(data, size);
    const std::uint8_t flags = input.Byte();
    const int rows = 1 + input.Byte() % 64;
    const int cols = std::min(1 + input.Byte() % kMaxCells, kMaxCells / rows);
    const float span = (flags & 2) != 0 ? input.Float() : static_cast<float>(input.Byte()) / 8.0f;

    cv::Mat scores(rows, cols, CV_32FC1);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            scores.at<float>(i, j) = (flags & 1) != 0 ? input.Float() : ByteScore(input.Byte());
        }
    }

    std::vector<HighPos> gathered = zentrel::GatherCandidates(scores, span);
    Check(SameList(gathered, zentrel::testing::GatherByScan(scores, span)),
          "the banded gathering differs from the plain scan");

    std::vector<HighPos> pruned = gathered;
    zentrel::PruneCandidates(pruned, span);
    // Pruning only drops: what is left is the gathered list in its order.
    std::size_t from = 0;
    for (const HighPos& kept : pruned) {
        while (from < gathered.size() && !SameBits(gathered[from], kept)) ++from;
        if (from == gathered.size()) Fail("pruning invented or reordered " + Describe(kept));
        ++from;
    }
    for (std::size_t i = 0; i < pruned.size(); ++i) {
        for (std::size_t j = i + 1; j < pruned.size(); ++j) {
            if (zentrel::PointDistance(pruned[i].position, pruned[j].position) < span &&
                pruned[i].similarity >= pruned[j].similarity) {
                Fail("pruning kept " + Describe(pruned[j]) + " near " + Describe(pruned[i]));
            }
            if (pruned[i].position.x == pruned[j].position.x &&
                pruned[i].position.y == pruned[j].position.y && span > 0.0f) {
                Fail("two candidates left on one cell: " + Describe(pruned[i]));
            }
        }
    }

    std::vector<HighPos> ordered = pruned;
    zentrel::OrderCandidates(ordered);
    for (std::size_t k = 1; k < ordered.size(); ++k) {
        if (!(ordered[k - 1].similarity >= ordered[k].similarity)) {
            Fail("ordering put " + Describe(ordered[k]) + " after a weaker one");
        }
    }
    Check(SameList(Sorted(ordered), Sorted(pruned)), "ordering lost or duplicated a candidate");
    return 0;
}
