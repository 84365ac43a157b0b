// How a job declines a call it cannot do: it throws a Refusal, and the
// exported function's boundary writes the call's error line and records it.
// Jobs never trace error lines themselves.
#pragma once

#include <stdexcept>
#include <string>

namespace zentrel {

class Refusal : public std::runtime_error {
public:
    // Whether the boundary traces the message. A refusal whose outcome the
    // trace already shows in its own way is recorded without a line.
    enum class Line { Traced, Untraced };

    // What the caller got wrong, for the exports that answer with a status.
    // Output: the file asked for cannot be written there; NoRepeat: no tile
    // in the image (or the caller's does not fit it); TooLarge: the tile
    // cannot be resampled.
    enum class Cause { Other, BadArgument, Unreadable, Output, NoRepeat, TooLarge };

    explicit Refusal(const std::string& message, Line line = Line::Traced)
        : std::runtime_error(message), traced_(line == Line::Traced) {}
    Refusal(Cause cause, const std::string& message)
        : std::runtime_error(message), traced_(true), cause_(cause) {}

    bool Traced() const { return traced_; }
    Cause GetCause() const { return cause_; }

private:
    bool traced_;
    Cause cause_ = Cause::Other;
};

}  // namespace zentrel
