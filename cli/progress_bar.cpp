#include "progress_bar.h"

#include <cstdio>
#include <string>

namespace zentrel::cli {

namespace {
constexpr std::size_t kBarWidth = 30;
}  // namespace

ProgressBar::ProgressBar(std::size_t total, bool enabled) : total_(total), enabled_(enabled) {
    Show();
}

ProgressBar::~ProgressBar() { Hide(); }

void ProgressBar::Advance() {
    ++done_;
    Show();
}

void ProgressBar::Hide() {
    if (!visible_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    visible_ = false;
}

void ProgressBar::Show() {
    if (enabled_) Draw();
}

void ProgressBar::Draw() {
    const std::size_t filled = total_ == 0 ? kBarWidth : done_ * kBarWidth / total_;
    const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '.');
    std::fprintf(stderr, "\r\033[K[%s] %zu/%zu", bar.c_str(), done_, total_);
    std::fflush(stderr);
    visible_ = true;
}

}  // namespace zentrel::cli
