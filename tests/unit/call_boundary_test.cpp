// The catch boundary every export runs through: which line a failure
// becomes, and that the outcome zentrel_last_error reads agrees with the trace.
#include "call_boundary.h"

#include <gtest/gtest.h>

#include <locale>
#include <stdexcept>

#include <opencv2/core.hpp>

#include "trace.h"
#include "trace_capture.h"

namespace zentrel {
namespace {

using Lines = std::vector<std::string>;

struct Result {
    bool returned;
    Lines lines;
};

template <typename Work>
Result Guard(Work&& work) {
    const TraceCapture trace;
    const bool returned = GuardedCall(std::forward<Work>(work), [] { return "Job of x.png"; });
    return {returned, trace.Lines()};
}

TEST(GuardedCall, ARefusalIsTracedAsItsOwnLineAndRecorded) {
    const Result result = Guard([] {
        Trace("Show F5 Count = 1");
        throw Refusal("Could not read image file: x.png");
    });
    EXPECT_FALSE(result.returned);
    EXPECT_EQ(result.lines, (Lines{"Show F5 Count = 1", "Could not read image file: x.png"}));
    EXPECT_FALSE(LastCallOutcome().succeeded);
    EXPECT_EQ(LastCallOutcome().error, "Could not read image file: x.png");
}

TEST(GuardedCall, AnUntracedRefusalIsRecordedWithoutALine) {
    const Result result = Guard([] { throw Refusal("no rectangle", Refusal::Line::Untraced); });
    EXPECT_FALSE(result.returned);
    EXPECT_TRUE(result.lines.empty());
    EXPECT_EQ(LastCallOutcome().error, "no rectangle");
}

TEST(GuardedCall, OtherExceptionsNameTheCallAndTheirCause) {
    const Result imaging = Guard([] { CV_Error(cv::Error::StsBadArg, "bad size"); });
    ASSERT_EQ(imaging.lines.size(), 1u);
    EXPECT_EQ(imaging.lines[0].rfind(
                  "Job of x.png stopped by an imaging library error: bad size (in ", 0),
              0u)
        << imaging.lines[0];
    EXPECT_EQ(LastCallOutcome().error, imaging.lines[0]);

    EXPECT_EQ(Guard([] { throw std::length_error("too long"); }).lines,
              (Lines{"Job of x.png stopped by an error: too long"}));
    EXPECT_EQ(Guard([] { throw 42; }).lines, (Lines{"Job of x.png stopped by an unknown error"}));
    EXPECT_FALSE(LastCallOutcome().succeeded);
}

TEST(GuardedCall, SuccessClearsThePreviousFailure) {
    Guard([] { throw Refusal("first"); });
    const Result result = Guard([] { Trace("Complete SaveImage"); });
    EXPECT_TRUE(result.returned);
    EXPECT_EQ(result.lines, (Lines{"Complete SaveImage"}));
    EXPECT_TRUE(LastCallOutcome().succeeded);
    EXPECT_EQ(LastCallOutcome().error, "");
}

TEST(GuardedCall, ANameThatCannotBeMadeStillEndsTheCallAsAFailure) {
    const TraceCapture trace;
    EXPECT_FALSE(GuardedCall([] { throw 1; }, []() -> std::string { throw std::bad_alloc(); }));
    EXPECT_FALSE(LastCallOutcome().succeeded);
}

// Groups thousands with a comma and uses a comma for the decimal point.
struct GroupingPunctuation : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(Format, IgnoresTheGlobalLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new GroupingPunctuation));
    const std::string count = Format("Show F5 Count = ", 1000);
    const std::string size = Format("maxW = ", 1234.5f);
    std::locale::global(previous);
    EXPECT_EQ(count, "Show F5 Count = 1000");
    EXPECT_EQ(size, "maxW = 1234.5");
}

}  // namespace
}  // namespace zentrel
