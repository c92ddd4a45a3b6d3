// SPDX-License-Identifier: MIT
// Decodes recorded GPIO calls the way a receiver reads the line: symbol by symbol.
#include "recording.h"

#include <fstream>
#include <sstream>

namespace recording {

namespace {

struct Step {
    bool write;  // a digitalWrite, else a delayMicroseconds
    std::int64_t value;
    double timeUs;
};

}  // namespace

Transmission decode(const std::vector<sim::Event> &events, int pin) {
    Transmission result;
    std::vector<Step> steps;
    for (const sim::Event &event : events) {
        const double timeUs = static_cast<double>(event.timeNs) / 1000.0;
        if (event.call == sim::Call::digitalWrite && event.first == pin) {
            steps.push_back({true, event.second != 0 ? 1 : 0, timeUs});
            result.prioritiesAfter.clear();
        } else if (event.call == sim::Call::delayMicroseconds) {
            steps.push_back({false, event.first, timeUs});
        } else if (event.call == sim::Call::piHiPri) {
            (steps.empty() ? result.prioritiesBefore : result.prioritiesAfter).push_back(static_cast<int>(event.first));
        }
    }

    int level = 0;
    double lastWriteUs = 0;
    auto isWrite = [&](std::size_t i) { return i < steps.size() && steps[i].write; };
    auto isDelay = [&](std::size_t i, std::int64_t us) {
        return i < steps.size() && !steps[i].write && steps[i].value == us;
    };
    auto fault = [&](std::size_t i, const std::string &what) {
        result.faults.push_back("step " + std::to_string(i) + ": " + what);
    };

    std::size_t i = 0;
    while (i < steps.size()) {
        if (isWrite(i) && steps[i].value == 1 && isDelay(i + 1, 520) && isWrite(i + 2) && steps[i + 2].value == 0) {
            result.frames.push_back({0, 0, level == 0, 0});
            result.widthsUs[Symbol::start].push_back(steps[i + 2].timeUs - steps[i].timeUs);
            lastWriteUs = steps[i + 2].timeUs;
            level = 0;
            i += 3;
        } else if (isDelay(i, 300) && isWrite(i + 1)) {
            if (steps[i + 1].value == level) {
                fault(i, "a one that does not change the level");
            }
            result.widthsUs[Symbol::one].push_back(steps[i + 1].timeUs - lastWriteUs);
            lastWriteUs = steps[i + 1].timeUs;
            level = static_cast<int>(steps[i + 1].value);
            if (result.frames.empty()) {
                fault(i, "a bit before the first start symbol");
            } else {
                Frame &frame = result.frames.back();
                frame.code = frame.code << 1 | 1u;
                ++frame.bits;
                frame.endLevel = level;
            }
            i += 2;
        } else if (isDelay(i, 110) && isWrite(i + 1) && isDelay(i + 2, 110) && isWrite(i + 3)) {
            if (steps[i + 1].value == level || steps[i + 3].value != level) {
                fault(i, "a zero that is not a pulse of the opposite level");
            }
            result.widthsUs[Symbol::zero].push_back(steps[i + 1].timeUs - lastWriteUs);
            result.widthsUs[Symbol::zero].push_back(steps[i + 3].timeUs - steps[i + 1].timeUs);
            lastWriteUs = steps[i + 3].timeUs;
            if (result.frames.empty()) {
                fault(i, "a bit before the first start symbol");
            } else {
                Frame &frame = result.frames.back();
                frame.code <<= 1;
                ++frame.bits;
                frame.endLevel = level;
            }
            i += 4;
        } else if (isWrite(i) && i + 1 == steps.size()) {
            result.endsWithLowWrite = steps[i].value == 0;
            level = static_cast<int>(steps[i].value);
            ++i;
        } else {
            fault(i, std::string(steps[i].write ? "write " : "delay ") + std::to_string(steps[i].value));
            ++i;
        }
    }
    result.levelAtEnd = level;
    bool seenWrite = false;
    for (const Step &step : steps) {
        if (step.write) {
            result.firstWriteUs = seenWrite ? result.firstWriteUs : step.timeUs;
            result.lastWriteUs = step.timeUs;
            seenWrite = true;
        }
    }
    return result;
}

std::vector<sim::Event> parseLog(const std::string &text) {
    static const std::map<std::string, sim::Call> kCalls = {
        {"wiringPiSetup", sim::Call::wiringPiSetup},
        {"pinMode", sim::Call::pinMode},
        {"digitalWrite", sim::Call::digitalWrite},
        {"delayMicroseconds", sim::Call::delayMicroseconds},
        {"piHiPri", sim::Call::piHiPri},
    };
    std::vector<sim::Event> events;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        double timeUs = 0;
        std::string name;
        fields >> timeUs >> name;
        sim::Event event{static_cast<std::int64_t>(timeUs * 1000.0 + 0.5), kCalls.at(name), 0, 0, 0};
        switch (event.call) {
        case sim::Call::wiringPiSetup:
            fields >> event.result;
            break;
        case sim::Call::pinMode:
        case sim::Call::digitalWrite:
            fields >> event.first >> event.second;
            break;
        case sim::Call::delayMicroseconds:
            fields >> event.first;
            break;
        case sim::Call::piHiPri:
            fields >> event.first >> event.result;
            break;
        }
        events.push_back(event);
    }
    return events;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace recording
