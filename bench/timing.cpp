// SPDX-License-Identifier: MIT
// Measures how exactly a press is timed on the real clock: each timed level's width
// against its nominal value, for the tool's delay and for a baseline delay written the
// way common GPIO libraries write it, with and without real-time priority, on an idle
// machine and with the other core loaded; against a pure busy-wait, the floor of this
// machine; and end to end, decoded by the receiver, while stress-ng loads every core.
#include <csignal>
#include <sched.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TerunaCode.h"
#include "TerunaRx.h"
#include "TerunaTx.h"
#include "clocks.h"
#include "line.h"
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

// Spins to each deadline, continuing from the last one as the tool's delay does: what no
// delay that sleeps can beat.
void busyWaitDelay(unsigned int us) {
    static std::int64_t lastDeadlineNs = 0;
    const std::int64_t nowNs = common::monotonicNs();
    const bool continues = nowNs >= lastDeadlineNs && nowNs - lastDeadlineNs < 20'000;
    lastDeadlineNs = (continues ? lastDeadlineNs : nowNs) + std::int64_t{us} * 1000;
    while (common::monotonicNs() < lastDeadlineNs) {
    }
}

struct Delay {
    const char *name;
    void (*wait)(unsigned int us);
};

const Delay kDelays[] = {{"teruna", nullptr}, {"baseline", baselineDelay}};
const Delay kFloor = {"busy-wait", busyWaitDelay};

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
    std::vector<std::pair<double, int>> levels;  // the level changes, time in us
};

// A real-time press begins, as a user's does, with none of its kind in the last second: the
// kernel counts what a real-time task ran in each second, and the tool spins less once it has
// run for most of one.
void restBeforePress() { usleep(1'000'000); }

Press send(unsigned int word, const Delay &delay, bool realTime, bool rested = true) {
    if (realTime && rested) {
        restBeforePress();
    }
    sim::reset();
    sim::useRealDelay(delay.wait);
    sim::refusePriority(!realTime);
    wiringPiSetup();
    pinMode(0, OUTPUT);
    tx::TerunaTx transmitter(0);
    const std::int64_t cpuStart = cpuNs();
    const std::int64_t wallStart = common::monotonicNs();
    transmitter.sendCommand(word, linecode::kCodeBits);
    const std::int64_t cpu = cpuNs() - cpuStart;
    const std::int64_t wall = common::monotonicNs() - wallStart;

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
            press.levels.emplace_back(static_cast<double>(event.timeNs) / 1e3, event.second);
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
    param.sched_priority = tx::TerunaTx::kPriority;
    const bool realTime = sched_setscheduler(0, SCHED_RR, &param) == 0;
    const std::int64_t start = common::monotonicNs();
    std::int64_t last = start;
    std::int64_t stolenNs = 0;
    std::int64_t longestNs = 0;
    long stalls = 0;
    while (last - start < 500'000'000) {
        const std::int64_t now = common::monotonicNs();
        if (now - last >= 2000) {
            ++stalls;
            stolenNs += now - last;
            longestNs = std::max(longestNs, now - last);
        }
        last = now;
    }
    param.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &param);
    const std::string spinning =
        realTime ? "at priority " + std::to_string(tx::TerunaTx::kPriority) : std::string("(priority refused)");
    std::printf("Machine: a core spinning %s loses %.1f%% of its time in %ld stalls of 2 us or more per second "
                "(longest %.0f us).\n\n",
                spinning.c_str(), 100.0 * static_cast<double>(stolenNs) / static_cast<double>(last - start), 2 * stalls,
                static_cast<double>(longestNs) / 1e3);
}

using Levels = std::vector<std::pair<double, int>>;

// The frames the receiver decodes in a recording's level changes, the line idle from `endUs`.
unsigned long framesDecoded(const Levels &levels, double endUs) {
    unsigned long frames = 0;
    rx::TerunaRx receiver([&](const rx::Press &press) { frames += press.frames; });
    for (const auto &[timeUs, level] : levels) {
        receiver.level(timeUs, level);
    }
    receiver.end(endUs);
    return frames;
}

// After the last write, the line stays at its level for as long as a receiver waits.
unsigned long framesDecoded(const Levels &levels) { return framesDecoded(levels, levels.back().first + 20000); }

// Decodes `runs` over and over for half a second: frames decoded per second of work, and per
// pass.
std::pair<double, unsigned long> decodingRate(const line::Runs &runs) {
    double endUs = 0;
    const Levels levels = line::levels(runs, endUs);
    unsigned long frames = 0, passes = 0;
    const std::int64_t start = common::monotonicNs();
    std::int64_t elapsed = 0;
    do {
        frames += framesDecoded(levels, endUs);
        ++passes;
        elapsed = common::monotonicNs() - start;
    } while (elapsed < 500'000'000);
    return {static_cast<double>(frames) * 1e9 / static_cast<double>(elapsed), frames / passes};
}

// How fast the receiver decodes recorded input: a press recorded on the virtual clock as it
// was sent, and as a receiver module distorts it (the remote's clock 10 % slow, high runs
// 40 us longer and low runs as much shorter, 10 % jitter, a glitch in 2 % of the runs).
void printDecodingSpeed() {
    const line::Runs sent = line::press(6400, 3);
    double sentUs = 0;
    line::levels(sent, sentUs);
    std::mt19937 random(433);
    const line::Runs received = line::received(sent, 0.9, 40, 0.1, 0.02, random);

    const auto [framesPerSecond, frames] = decodingRate(sent);
    const double frameSeconds = sentUs / linecode::kFrames / 1e6;
    const auto [distortedPerSecond, distortedFrames] = decodingRate(received);
    std::printf("Decoding: %.0f frames per second of recorded input (%.0f times as fast as they are sent), %lu of %d "
                "frames; distorted: %.0f frames per second (%.0f times), %lu of %d frames\n",
                framesPerSecond, framesPerSecond * frameSeconds, frames, linecode::kFrames, distortedPerSecond,
                distortedPerSecond * frameSeconds, distortedFrames, linecode::kFrames);
}

}  // namespace

// The same presses, the tool's delay and a pure busy-wait in turn, at real-time priority.
void printFloor(const unsigned int (&words)[4]) {
    std::vector<double> floorErrors, terunaErrors;
    unsigned long floorFrames = 0, terunaFrames = 0;
    for (const unsigned int word : words) {
        const Press floor = send(word, kFloor, true);
        floorErrors.insert(floorErrors.end(), floor.errorsUs.begin(), floor.errorsUs.end());
        floorFrames += framesDecoded(floor.levels);
        const Press teruna = send(word, kDelays[0], true);
        terunaErrors.insert(terunaErrors.end(), teruna.errorsUs.begin(), teruna.errorsUs.end());
        terunaFrames += framesDecoded(teruna.levels);
    }
    const double floorP99 = quantile(floorErrors, 0.99), terunaP99 = quantile(terunaErrors, 0.99);
    std::printf("floor: busy-wait p99 %.2f us, teruna p99 %.2f us, teruna - floor %.2f us\n", floorP99, terunaP99,
                terunaP99 - floorP99);
    std::printf("floor medians: busy-wait %.2f us, teruna %.2f us, teruna - floor %.2f us\n",
                quantile(floorErrors, 0.5), quantile(terunaErrors, 0.5),
                quantile(terunaErrors, 0.5) - quantile(floorErrors, 0.5));
    std::printf("floor frames decoded: busy-wait %lu/%zu, teruna %lu/%zu\n", floorFrames,
                std::size(words) * linecode::kFrames, terunaFrames, std::size(words) * linecode::kFrames);
}

// stress-ng on every core with CPU, memory and I/O work at normal priority, for at most two
// minutes; -1 when it cannot be started.
pid_t startStress() {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        const std::string workers = std::to_string(cores > 0 ? cores : 1);
        execlp("stress-ng", "stress-ng", "--cpu", workers.c_str(), "--vm", workers.c_str(), "--vm-bytes", "128M",
               "--hdd", "1", "--hdd-bytes", "64M", "--temp-path", "/tmp", "--timeout", "120s", "--quiet",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid > 0) {
        usleep(500 * 1000);  // its workers started
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return -1;
        }
    }
    return pid;
}

void stopStress(pid_t pid) {
    kill(-pid, SIGTERM);  // it removes its files on the way out
    waitpid(pid, nullptr, 0);
}

// Presses on the real clock while stress-ng runs, each recording decoded by the receiver.
void printUnderLoad(const unsigned int (&words)[4]) {
    const pid_t stress = startStress();
    if (stress < 0) {
        std::printf("under load: not measured, stress-ng could not be started (Debian: apt-get install stress-ng)\n");
        return;
    }
    // The tool's delay, the baseline, and the busy-wait that shows what the machine allows.
    const Delay *delays[] = {&kDelays[0], &kDelays[1], &kFloor};
    unsigned int decoded[3] = {0, 0, 0};
    unsigned int sent = 0;
    std::vector<double> errors[3];
    for (const unsigned int word : words) {
        for (std::size_t d = 0; d < 3; ++d) {
            const Press press = send(word, *delays[d], true);
            errors[d].insert(errors[d].end(), press.errorsUs.begin(), press.errorsUs.end());
            decoded[d] += static_cast<unsigned int>(framesDecoded(press.levels));
        }
        sent += linecode::kFrames;
    }
    stopStress(stress);
    std::printf("under load: teruna %u/%u frames decoded, baseline %u/%u, busy-wait %u/%u\n", decoded[0], sent,
                decoded[1], sent, decoded[2], sent);
    const auto late = [](const std::vector<double> &e) {
        return static_cast<long>(std::count_if(e.begin(), e.end(), [](double us) { return us > 25; }));
    };
    std::printf("under load: level error p99 teruna %.2f us, baseline %.2f us, busy-wait %.2f us; levels more than "
                "25 us off: teruna %ld, baseline %ld, busy-wait %ld\n",
                quantile(errors[0], 0.99), quantile(errors[1], 0.99), quantile(errors[2], 0.99), late(errors[0]),
                late(errors[1]), late(errors[2]));
}

// Presses of all ones back to back, as the gateway sends a queue of them: what the receiver
// decodes of each, and the longest the sending thread ran in any second, by the kernel's
// count (it throttles a real-time task at 950 ms of a second).
void printBackToBack() {
    constexpr int kPresses = 3;
    const pthread_t sender = pthread_self();
    clockid_t senderClock{};
    pthread_getcpuclockid(sender, &senderClock);
    std::atomic<bool> sending{true};
    std::vector<std::pair<std::int64_t, std::int64_t>> samples;  // wall, sender's running
    std::thread sampler([&] {
        while (sending) {
            timespec ran{};
            clock_gettime(senderClock, &ran);
            samples.emplace_back(common::monotonicNs(), ran.tv_sec * 1000000000LL + ran.tv_nsec);
            usleep(2000);
        }
    });
    unsigned long decoded[kPresses] = {};
    for (unsigned long &frames : decoded) {
        frames = framesDecoded(send(0x7FFFFF, kDelays[0], true, false).levels);
    }
    sending = false;
    sampler.join();
    std::int64_t longestNs = 0;
    std::size_t from = 0;
    for (std::size_t to = 0; to < samples.size(); ++to) {
        while (samples[to].first - samples[from].first > 1'000'000'000) {
            ++from;
        }
        longestNs = std::max(longestNs, samples[to].second - samples[from].second);
    }
    std::printf("back to back: %d presses of 0x7FFFFF decoded %lu, %lu and %lu of 150 frames; the sender ran at most "
                "%.0f ms in any second\n",
                kPresses, decoded[0], decoded[1], decoded[2], static_cast<double>(longestNs) / 1e6);
}

int main(int argc, char *argv[]) {
    // `teruna-bench floor`: the machine, floor and under-load lines alone, which have aims,
    // in a quarter of the time, for runs repeated to see their spread.
    const bool floorOnly = argc > 1 && std::string(argv[1]) == "floor";
    unsetenv("TERUNA_SIM_CLOCK");
    unsetenv("TERUNA_SIM_LOG");
    unsetenv("TERUNA_SIM_VCD");
    // Every press here is on simulated pins by design; the tool's notice would come with each.
    sim::sayNothingIsTransmitted(false);
    std::mt19937 random(2026);
    constexpr unsigned int kAllOnes = (1u << linecode::kCodeBits) - 1;
    const unsigned int words[] = {linecode::codeWord(6400, 0), 0, kAllOnes,
                                  static_cast<unsigned int>(random()) & kAllOnes};

    std::printf("Presses of code words 0x%06X (default), 0x000000, 0x%06X and 0x%06X on the real-clock simulated "
                "pins.\nError: |measured - nominal| width of every timed level (start %u us, one %u us, each half of "
                "a zero %u us).\n\n",
                words[0], words[2], words[3], linecode::kStartUs, linecode::kOneUs, linecode::kZeroHalfUs);
    printMachineNoise();
    if (floorOnly) {
        printFloor(words);
        printBackToBack();
        printUnderLoad(words);
        return 0;
    }
    std::printf(
        "| delay    | priority | other core | median us | p99 us  | max us   | within 2 us | press vs nominal ms | "
        "CPU share |\n");
    std::printf(
        "|----------|----------|------------|-----------|---------|----------|-------------|---------------------|"
        "-----------|\n");

    double p99IdleRealTime[2] = {0, 0};
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
                const std::string priority = !realTime     ? "none"
                                             : gotPriority ? std::to_string(tx::TerunaTx::kPriority)
                                                           : "refused";
                const double p99 = quantile(errors, 0.99);
                const auto within = std::count_if(errors.begin(), errors.end(), [](double e) { return e <= 2.0; });
                std::printf("| %-8s | %-8s | %-10s | %9.2f | %7.2f | %8.2f | %10.1f%% | %+19.3f | %8.0f%% |\n",
                            kDelays[d].name, priority.c_str(), loaded ? "loaded" : "idle", quantile(errors, 0.5), p99,
                            *std::max_element(errors.begin(), errors.end()),
                            100.0 * static_cast<double>(within) / static_cast<double>(errors.size()), worstDurationMs,
                            100 * worstCpu);
                std::fflush(stdout);
                if (!loaded && realTime) {
                    p99IdleRealTime[d] = p99;
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
    printFloor(words);
    printBackToBack();
    printUnderLoad(words);
    std::printf("p99 symbol error: teruna %.2f us, baseline %.2f us, ratio %.1fx\n", p99IdleRealTime[0],
                p99IdleRealTime[1], p99IdleRealTime[0] > 0 ? p99IdleRealTime[1] / p99IdleRealTime[0] : 0.0);
    return 0;
}
