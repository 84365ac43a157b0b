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

    explicit Refusal(const std::string& message, Line line = Line::Traced)
        : std::runtime_error(message), traced_(line == Line::Traced) {}

    bool Traced() const { return traced_; }

private:
    bool traced_;
};

}  // namespace zentrel
