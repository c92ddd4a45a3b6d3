// SPDX-License-Identifier: MIT
#include "line.h"

#include <cstdio>
#include <cstdlib>

#include "TerunaCode.h"
#include "TerunaTx.h"
#include "sim.h"

namespace line {

Runs transmission(unsigned int word, unsigned char bitCount) {
    sim::reset();
    setenv("TERUNA_SIM_CLOCK", "virtual", 1);
    unsetenv("TERUNA_SIM_LOG");
    unsetenv("TERUNA_SIM_VCD");
    wiringPiSetup();
    pinMode(0, OUTPUT);
    tx::TerunaTx(0).sendCommand(word, bitCount);
    Runs runs;
    int level = 0;
    double sinceUs = 0;
    for (const sim::Event &event : sim::events()) {
        const int next = event.call == sim::Call::digitalWrite ? (event.second != 0 ? 1 : 0) : level;
        if (next != level) {
            const double atUs = static_cast<double>(event.timeNs) / 1e3;
            runs.push_back({level, atUs - sinceUs});  // zero wide at some frame boundaries
            level = next;
            sinceUs = atUs;
        }
    }
    sim::reset();
    unsetenv("TERUNA_SIM_CLOCK");
    return runs;
}

Runs press(unsigned short remoteId, unsigned char buttonId) {
    return transmission(linecode::codeWord(remoteId, buttonId), linecode::kCodeBits);
}

void append(Runs &runs, const Runs &more) {
    for (const Run &run : more) {
        if (!runs.empty() && runs.back().level == run.level) {
            runs.back().widthUs += run.widthUs;
        } else {
            runs.push_back(run);
        }
    }
}

Runs silence(double us) { return {{0, us}}; }

Runs noise(std::mt19937 &random, double us, double minUs, double maxUs) {
    std::uniform_real_distribution<double> width(minUs, maxUs);
    Runs runs;
    int level = 1;
    for (double total = 0; total < us; level = 1 - level) {
        runs.push_back({level, width(random)});
        total += runs.back().widthUs;
    }
    return runs;
}

void jitter(Runs &runs, std::mt19937 &random, double fraction) {
    std::uniform_real_distribution<double> factor(1 - fraction, 1 + fraction);
    for (Run &run : runs) {
        run.widthUs *= factor(random);
    }
}

void scale(Runs &runs, double factor) {
    for (Run &run : runs) {
        run.widthUs *= factor;
    }
}

void glitch(Runs &runs, std::mt19937 &random, int count) {
    for (int i = 0; i < count; ++i) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, runs.size() - 1)(random);
        const Run run = runs[at];
        const double glitchUs = std::uniform_real_distribution<double>(1, 39)(random);
        const double beforeUs = std::uniform_real_distribution<double>(0, 1)(random) * run.widthUs;
        if (beforeUs + glitchUs >= run.widthUs) {
            continue;
        }
        runs[at].widthUs = beforeUs;
        runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                    {{1 - run.level, glitchUs}, {run.level, run.widthUs - beforeUs - glitchUs}});
    }
}

Runs received(const Runs &sent, double scaleFactor, double skewUs, double jitterShare, double glitchShare,
              std::mt19937 &random) {
    Runs runs;
    for (const Run &run : sent) {
        if (run.widthUs > 0) {
            append(runs, {run});
        }
    }
    std::uniform_real_distribution<double> unit(0, 1);
    for (Run &run : runs) {
        run.widthUs = (run.widthUs * scaleFactor + (run.level != 0 ? skewUs : -skewUs)) *
                      (1 - jitterShare + 2 * jitterShare * unit(random));
    }
    glitch(runs, random, static_cast<int>(glitchShare * static_cast<double>(runs.size())));
    return runs;
}

std::vector<std::pair<double, int>> levels(const Runs &runs, double &endUs) {
    std::vector<std::pair<double, int>> changes;
    endUs = 0;
    for (const Run &run : runs) {
        changes.emplace_back(endUs, run.level);
        endUs += run.widthUs;
    }
    return changes;
}

std::vector<rx::Press> decode(const Runs &runs) {
    std::vector<rx::Press> presses;
    rx::TerunaRx receiver([&](const rx::Press &p) { presses.push_back(p); });
    double endUs = 0;
    for (const auto &[timeUs, level] : levels(runs, endUs)) {
        receiver.level(timeUs, level);
    }
    receiver.end(endUs);
    return presses;
}

std::string vcd(const Runs &runs) {
    std::string text = "$timescale 1us $end\n$scope module line $end\n$var wire 1 ! data $end\n$upscope $end\n"
                       "$enddefinitions $end\n";
    double endUs = 0;
    char entry[48];
    for (const auto &[timeUs, level] : levels(runs, endUs)) {
        std::snprintf(entry, sizeof entry, "#%.0f\n%d!\n", timeUs, level);
        text += entry;
    }
    std::snprintf(entry, sizeof entry, "#%.0f\n", endUs);
    return text + entry;
}

}  // namespace line
