// SPDX-License-Identifier: MIT
#include "RunWidths.h"

#include <algorithm>
#include <cmath>

namespace rx {

namespace {

constexpr double kStepUs = 10;
constexpr std::size_t kSteps = 1000;
constexpr std::size_t kShown = 6;

}  // namespace

RunWidths::RunWidths() {
    for (std::vector<unsigned long> &counts : counts_) {
        counts.assign(kSteps + 1, 0);
    }
}

void RunWidths::add(int level, double widthUs) {
    // Runs wider than the last step count there, however wide.
    const double step = std::round(std::clamp(widthUs, 0.0, kSteps * kStepUs) / kStepUs);
    ++counts_[level != 0 ? 1 : 0][static_cast<std::size_t>(step)];
}

std::string RunWidths::summary(int level) const {
    const std::vector<unsigned long> &counts = counts_[level != 0 ? 1 : 0];
    std::vector<std::size_t> steps;
    for (std::size_t step = 0; step < counts.size(); ++step) {
        if (counts[step] > 0) {
            steps.push_back(step);
        }
    }
    if (steps.empty()) {
        return "none";
    }
    std::stable_sort(steps.begin(), steps.end(), [&](std::size_t a, std::size_t b) { return counts[a] > counts[b]; });
    steps.resize(std::min(steps.size(), kShown));
    std::sort(steps.begin(), steps.end());
    std::string text;
    for (const std::size_t step : steps) {
        text += (text.empty() ? "" : ", ") + std::string(step == kSteps ? ">=" : "") +
                std::to_string(step * static_cast<std::size_t>(kStepUs)) + " us x" + std::to_string(counts[step]);
    }
    return text;
}

}  // namespace rx
