// SPDX-License-Identifier: MIT
// How long a real-time task has run lately, so that it can stop spinning before the kernel
// throttles it: Linux lets real-time tasks run sched_rt_runtime_us (950 ms) of every
// sched_rt_period_us (1 s), then stops them for the rest of the period, mid-press.
#ifndef TERUNA_GPIO_RUN_BUDGET_H
#define TERUNA_GPIO_RUN_BUDGET_H

#include <array>
#include <cstdint>

namespace gpio {

class RunBudget {
public:
    // Allows `allowedNs` of running in any window of `windowNs`.
    RunBudget(std::int64_t windowNs, std::int64_t allowedNs);

    // The kernel's limits, less a tenth of the window for whatever else runs in real time; a
    // kernel that does not throttle allows the whole window.
    static RunBudget fromKernel();

    // Counts `ranNs` of running that ended at `nowNs`.
    void charge(std::int64_t nowNs, std::int64_t ranNs);

    // Whether running `moreNs` from `nowNs` on stays within what the window allows.
    bool allows(std::int64_t nowNs, std::int64_t moreNs);

    // Running counted in the window that ends at `nowNs`.
    std::int64_t ranNs(std::int64_t nowNs);

    [[nodiscard]] std::int64_t allowedNs() const { return allowedNs_; }

private:
    static constexpr std::size_t kSlots = 1000;

    void advanceTo(std::int64_t nowNs);

    std::array<std::int64_t, kSlots> slots_{};
    std::int64_t slotNs_;
    std::int64_t allowedNs_;
    std::int64_t currentSlot_ = 0;
    std::int64_t sumNs_ = 0;
};

}  // namespace gpio

#endif
