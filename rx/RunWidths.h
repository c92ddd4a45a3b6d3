// SPDX-License-Identifier: MIT
// What widths the line's runs had, per level: for telling whether a remote's timing is near
// the Teruna one at all when nothing decodes.
#ifndef TERUNA_RX_RUNWIDTHS_H
#define TERUNA_RX_RUNWIDTHS_H

#include <array>
#include <string>
#include <vector>

namespace rx {

class RunWidths {
public:
    RunWidths();

    void add(int level, double widthUs);

    // The most common widths of the level's runs, in 10 us steps, narrowest first:
    // "110 us x1203, 300 us x640, 520 us x150"; "none" when there were no runs.
    [[nodiscard]] std::string summary(int level) const;

private:
    std::array<std::vector<unsigned long>, 2> counts_;  // per 10 us, the last for 10 ms and longer
};

}  // namespace rx

#endif
