// SPDX-License-Identifier: MIT
#include "run-budget.h"

#include <fstream>

namespace gpio {

namespace {

std::int64_t readKernelSetting(const char *path, std::int64_t fallback) {
    std::ifstream file(path);
    std::int64_t value = fallback;
    file >> value;
    return file ? value : fallback;
}

}  // namespace

RunBudget::RunBudget(std::int64_t windowNs, std::int64_t allowedNs)
    : slotNs_(windowNs / static_cast<std::int64_t>(kSlots) > 0 ? windowNs / static_cast<std::int64_t>(kSlots) : 1),
      allowedNs_(allowedNs) {}

RunBudget RunBudget::fromKernel() {
    const std::int64_t periodUs = readKernelSetting("/proc/sys/kernel/sched_rt_period_us", 1'000'000);
    const std::int64_t runtimeUs = readKernelSetting("/proc/sys/kernel/sched_rt_runtime_us", 950'000);
    const std::int64_t windowNs = periodUs * 1000;
    if (runtimeUs < 0 || runtimeUs >= periodUs) {
        return {windowNs, windowNs};
    }
    const std::int64_t runNs = runtimeUs * 1000 - windowNs / 10;
    return {windowNs, runNs > 0 ? runNs : 0};
}

void RunBudget::advanceTo(std::int64_t nowNs) {
    const std::int64_t slot = nowNs / slotNs_;
    if (slot - currentSlot_ >= static_cast<std::int64_t>(kSlots)) {
        slots_.fill(0);
        sumNs_ = 0;
    } else {
        for (std::int64_t passed = currentSlot_ + 1; passed <= slot; ++passed) {
            std::int64_t &expired = slots_[static_cast<std::size_t>(passed) % kSlots];
            sumNs_ -= expired;
            expired = 0;
        }
    }
    if (slot > currentSlot_) {
        currentSlot_ = slot;
    }
}

void RunBudget::charge(std::int64_t nowNs, std::int64_t ranNs) {
    advanceTo(nowNs);
    slots_[static_cast<std::size_t>(currentSlot_) % kSlots] += ranNs;
    sumNs_ += ranNs;
}

bool RunBudget::allows(std::int64_t nowNs, std::int64_t moreNs) { return ranNs(nowNs) + moreNs <= allowedNs_; }

std::int64_t RunBudget::ranNs(std::int64_t nowNs) {
    advanceTo(nowNs);
    return sumNs_;
}

}  // namespace gpio
