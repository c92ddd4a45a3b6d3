// Measures how exactly a press is timed on the real clock: each timed level's width
// against its nominal value, for the tool's delay and for a baseline delay written the
// way common GPIO libraries write it, with and without real-time priority, on an idle
// machine and with the other core loaded.
#include <csignal>
#include <sched.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "TerunaRx.h"
#include "TerunaTx.h"
#include "clock.h"
#include "sim.h"

namespace {

// nanosleep for waits of 100 us or more, a busy-wait on gettimeofday below.
void baselineDelay(unsigned int us) {
    if (us >= 100) {
        const timespec wait{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        nanosleep(&wait, nullptr);
        return;
    }
    timeval now{};
    gettimeofday(&now, nullptr);
    const std::int64_t end = now.tv_sec * 1000000LL + now.tv_usec + us;
    while (now.tv_sec * 1000000LL + now.tv_usec < end) {
        gettimeofday(&now, nullptr);
    }
}

struct Delay {
    const char *name;
    void (*wait)(unsigned int us);
};

const Delay kDelays[] = {{"teruna", nullptr}, {"baseline", baselineDelay}};

std::int64_t cpuNs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

struct Press {
    std::vector<double> errorsUs;  // each timed level: |measured - nominal|
    double durationErrorMs = 0;    // first to last write, against the sum of the delays
    double cpuShare = 0;
    bool gotPriority = false;
};

Press send(unsigned int word, const Delay &delay, bool realTime) {
    sim::reset();
    sim::useRealDelay(delay.wait);
    sim::refusePriority(!realTime);
    wiringPiSetup();
    pinMode(0, OUTPUT);
    TerunaTx transmitter(0);
    const std::int64_t cpuStart = cpuNs();
    const std::int64_t wallStart = gpio::monotonicNs();
    transmitter.sendCommand(word, 23);
    const std::int64_t cpu = cpuNs() - cpuStart;
    const std::int64_t wall = gpio::monotonicNs() - wallStart;

    Press press;
    press.cpuShare = static_cast<double>(cpu) / static_cast<double>(wall);
    std::int64_t nominalNs = 0;
    std::int64_t totalNominalNs = 0;
    std::int64_t lastWriteNs = -1;
    std::int64_t firstWriteNs = -1;
    for (const sim::Event &event : sim::events()) {
        if (event.call == sim::Call::piHiPri && event.first > 0) {
            press.gotPriority = event.result == 0;
        } else if (event.call == sim::Call::delayMicroseconds) {
            nominalNs += event.first * 1000;
        } else if (event.call == sim::Call::digitalWrite) {
            if (lastWriteNs >= 0 && nominalNs > 0) {
                press.errorsUs.push_back(std::fabs(static_cast<double>(event.timeNs - lastWriteNs - nominalNs)) / 1e3);
            }
            firstWriteNs = firstWriteNs < 0 ? event.timeNs : firstWriteNs;
            totalNominalNs += lastWriteNs >= 0 ? nominalNs : 0;
            lastWriteNs = event.timeNs;
            nominalNs = 0;
        }
    }
    press.durationErrorMs = static_cast<double>(lastWriteNs - firstWriteNs - totalNominalNs) / 1e6;
    sim::reset();
    return press;
}

double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

// A process that keeps the other core and the memory bus busy until it is killed.
pid_t startLoad() {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::uint64_t> memory(8 << 20);
        for (std::uint64_t i = 0;; i += 4099) {
            memory[static_cast<std::size_t>(i % memory.size())] += i;
        }
    }
    return pid;
}

void stopLoad(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// How much of a spinning core's time the machine takes away in stalls of 2 us or more
// (interrupts, a hypervisor): a level edge that falls into one is late by up to its length.
void printMachineNoise() {
    sched_param param{};
    param.sched_priority = 90;
    const bool realTime = sched_setscheduler(0, SCHED_RR, &param) == 0;
    const std::int64_t start = gpio::monotonicNs();
    std::int64_t last = start;
    std::int64_t stolenNs = 0;
    std::int64_t longestNs = 0;
    long stalls = 0;
    while (last - start < 500'000'000) {
        const std::int64_t now = gpio::monotonicNs();
        if (now - last >= 2000) {
            ++stalls;
            stolenNs += now - last;
            longestNs = std::max(longestNs, now - last);
        }
        last = now;
    }
    param.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &param);
    std::printf("Machine: a core spinning %s loses %.1f%% of its time in %ld stalls of 2 us or more per second "
                "(longest %.0f us).\n\n",
                realTime ? "at priority 90" : "(priority refused)",
                100.0 * static_cast<double>(stolenNs) / static_cast<double>(last - start), 2 * stalls,
                static_cast<double>(longestNs) / 1e3);
}

using Levels = std::vector<std::pair<double, int>>;

// Decodes `levels` over and over for half a second: frames decoded per second of work, and
// per pass.
std::pair<double, unsigned long> decodingRate(const Levels &levels) {
    unsigned long frames = 0, passes = 0;
    const std::int64_t start = gpio::monotonicNs();
    std::int64_t elapsed = 0;
    do {
        TerunaRx rx([&](const TerunaRx::Press &press) { frames += press.frames; });
        for (const auto &[timeUs, level] : levels) {
            rx.level(timeUs, level);
        }
        rx.end(levels.back().first + 20000);
        ++passes;
        elapsed = gpio::monotonicNs() - start;
    } while (elapsed < 500'000'000);
    return {static_cast<double>(frames) * 1e9 / static_cast<double>(elapsed), frames / passes};
}

// How fast the receiver decodes recorded input: a press recorded on the virtual clock as it
// was sent, and as a receiver module distorts it (the remote's clock 10 % slow, high runs
// 40 us longer and low runs as much shorter, 10 % jitter, a glitch in 2 % of the runs).
void printDecodingSpeed() {
    setenv("TERUNA_SIM_CLOCK", "virtual", 1);
    sim::reset();
    sim::refusePriority(false);
    wiringPiSetup();
    pinMode(0, OUTPUT);
    TerunaTx(0).sendButton(6400, 3);
    Levels levels;
    for (const sim::Event &event : sim::events()) {
        if (event.call == sim::Call::digitalWrite) {
            levels.emplace_back(static_cast<double>(event.timeNs) / 1e3, event.second);
        }
    }
    sim::reset();
    unsetenv("TERUNA_SIM_CLOCK");

    std::mt19937 random(433);
    std::uniform_real_distribution<double> unit(0, 1);
    Levels distorted;
    double atUs = 0;
    for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
        const double widthUs = levels[i + 1].first - levels[i].first;
        if (widthUs <= 0 || (!distorted.empty() && distorted.back().second == levels[i].second)) {
            continue;
        }
        const double receivedUs = (widthUs * 0.9 + (levels[i].second != 0 ? 40 : -40)) * (0.9 + 0.2 * unit(random));
        distorted.emplace_back(atUs, levels[i].second);
        if (unit(random) < 0.02) {
            const double glitchAtUs = atUs + unit(random) * receivedUs;
            distorted.emplace_back(glitchAtUs, 1 - levels[i].second);
            distorted.emplace_back(glitchAtUs + 1 + 38 * unit(random), levels[i].second);
        }
        atUs += receivedUs;
    }
    distorted.emplace_back(atUs, 0);

    const auto [framesPerSecond, frames] = decodingRate(levels);
    const double frameSeconds = (levels.back().first - levels.front().first) / 150 / 1e6;
    const auto [distortedPerSecond, distortedFrames] = decodingRate(distorted);
    std::printf("Decoding: %.0f frames per second of recorded input (%.0f times as fast as they are sent), %lu of 150 "
                "frames; distorted: %.0f frames per second (%.0f times), %lu of 150 frames\n",
                framesPerSecond, framesPerSecond * frameSeconds, frames, distortedPerSecond,
                distortedPerSecond * frameSeconds, distortedFrames);
}

}  // namespace

int main() {
    unsetenv("TERUNA_SIM_CLOCK");
    unsetenv("TERUNA_SIM_LOG");
    unsetenv("TERUNA_SIM_VCD");
    std::mt19937 random(2026);
    const unsigned int words[] = {6400u << 7, 0, 0x7FFFFF, static_cast<unsigned int>(random()) & 0x7FFFFF};

    std::printf("Presses of code words 0x%06X (default), 0x000000, 0x7FFFFF and 0x%06X on the real-clock simulated "
                "pins.\nError: |measured - nominal| width of every timed level (start 520 us, one 300 us, each half of "
                "a zero 110 us).\n\n",
                words[0], words[3]);
    printMachineNoise();
    std::printf(
        "| delay    | priority | other core | median us | p99 us  | max us   | within 2 us | press vs nominal ms | "
        "CPU share |\n");
    std::printf(
        "|----------|----------|------------|-----------|---------|----------|-------------|---------------------|"
        "-----------|\n");

    double p99Idle90[2] = {0, 0};
    for (const bool loaded : {false, true}) {
        const pid_t load = loaded ? startLoad() : -1;
        for (const bool realTime : {true, false}) {
            for (std::size_t d = 0; d < 2; ++d) {
                std::vector<double> errors;
                double worstDurationMs = 0;
                double worstCpu = 0;
                bool gotPriority = true;
                for (const unsigned int word : words) {
                    const Press press = send(word, kDelays[d], realTime);
                    errors.insert(errors.end(), press.errorsUs.begin(), press.errorsUs.end());
                    worstDurationMs = std::fabs(press.durationErrorMs) > std::fabs(worstDurationMs)
                                          ? press.durationErrorMs
                                          : worstDurationMs;
                    worstCpu = std::max(worstCpu, press.cpuShare);
                    gotPriority = gotPriority && press.gotPriority;
                }
                const char *priority = !realTime ? "none" : gotPriority ? "90" : "refused";
                const double p99 = quantile(errors, 0.99);
                const auto within = std::count_if(errors.begin(), errors.end(), [](double e) { return e <= 2.0; });
                std::printf("| %-8s | %-8s | %-10s | %9.2f | %7.2f | %8.2f | %10.1f%% | %+19.3f | %8.0f%% |\n",
                            kDelays[d].name, priority, loaded ? "loaded" : "idle", quantile(errors, 0.5), p99,
                            *std::max_element(errors.begin(), errors.end()),
                            100.0 * static_cast<double>(within) / static_cast<double>(errors.size()), worstDurationMs,
                            100 * worstCpu);
                std::fflush(stdout);
                if (!loaded && realTime) {
                    p99Idle90[d] = p99;
                }
            }
        }
        if (loaded) {
            stopLoad(load);
        }
    }
    std::printf("\nThe press column is the worst press's (last write - first write) - nominal; CPU share is the "
                "worst press's CPU time over its wall time.\n\n");
    printDecodingSpeed();
    std::printf("p99 symbol error: teruna %.2f us, baseline %.2f us, ratio %.1fx\n", p99Idle90[0], p99Idle90[1],
                p99Idle90[0] > 0 ? p99Idle90[1] / p99Idle90[0] : 0.0);
    return 0;
}
