// A one-line progress bar on standard error, for batches run at a terminal.
#pragma once

#include <cstddef>

namespace zentrel::cli {

class ProgressBar {
public:
    // Draws nothing unless `enabled`.
    ProgressBar(std::size_t total, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Advance();
    // Clears the line so that a message can be written to standard error;
    // the next Advance or Show draws the bar again.
    void Hide();
    void Show();

private:
    void Draw();

    std::size_t total_;
    std::size_t done_ = 0;
    bool enabled_;
    bool visible_ = false;
};

}  // namespace zentrel::cli
