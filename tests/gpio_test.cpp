// SPDX-License-Identifier: MIT
// The GPIO layer's pieces that need no hardware: the header's pin table, the choice of
// the header's chip, the character-device backend's messages, what a press asks of the
// kernel, and what the simulated pins do when a fault ends the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "chip.h"
#include "clock.h"
#include "clocks.h"
#include "pins.h"
#include "recording.h"
#include "run-budget.h"
#include "sim.h"
#include "wiringPi.h"

namespace {

TEST(PinTable, WiringPiPinsMapToTheFortyPinHeadersBcmLines) {
    const std::vector<int> bcmOfPins0To16 = {17, 18, 27, 22, 23, 24, 25, 4, 2, 3, 8, 7, 10, 9, 11, 14, 15};
    const std::vector<int> bcmOfPins21To31 = {5, 6, 13, 19, 26, 12, 16, 20, 21, 0, 1};
    for (int pin = 0; pin <= 16; ++pin) {
        EXPECT_EQ(gpio::bcmLineOf(pin), bcmOfPins0To16[static_cast<std::size_t>(pin)]) << "pin " << pin;
    }
    for (int pin = 21; pin <= 31; ++pin) {
        EXPECT_EQ(gpio::bcmLineOf(pin), bcmOfPins21To31[static_cast<std::size_t>(pin - 21)]) << "pin " << pin;
    }
    for (const int pin : {-2147483647 - 1, -1, 17, 18, 19, 20, 32, 64, 2147483647}) {
        EXPECT_EQ(gpio::bcmLineOf(pin), -1) << "pin " << pin;
    }
}

const std::vector<gpio::ChipInfo> kPi5 = {
    {"/dev/gpiochip0", "gpiochip0", "gpio-brcmstb@107d508500", 32},
    {"/dev/gpiochip4", "gpiochip4", "pinctrl-rp1", 54},
    {"/dev/gpiochip10", "gpiochip10", "gpio-mmio", 8},
};

TEST(HeaderChip, IsFoundByThePinControllerLabelOfEveryPiGeneration) {
    for (const std::string label : {"pinctrl-bcm2835", "pinctrl-bcm2711", "pinctrl-rp1"}) {
        const std::vector<gpio::ChipInfo> chips = {{"/dev/gpiochip1", "gpiochip1", "raspberrypi-exp-gpio", 8},
                                                   {"/dev/gpiochip0", "gpiochip0", label, 54}};
        const gpio::ChipInfo *found = gpio::findHeaderChip(chips, nullptr);
        ASSERT_NE(found, nullptr) << label;
        EXPECT_EQ(found->path, "/dev/gpiochip0");
    }
    EXPECT_EQ(gpio::findHeaderChip(kPi5, nullptr)->path, "/dev/gpiochip4");
}

TEST(HeaderChip, IsNoneWhenNoChipHasAPiLabel) {
    EXPECT_EQ(gpio::findHeaderChip({}, nullptr), nullptr);
    EXPECT_EQ(gpio::findHeaderChip({{"/dev/gpiochip0", "gpiochip0", "9030000.pl061", 8}}, nullptr), nullptr);
    EXPECT_EQ(gpio::findHeaderChip({{"/dev/gpiochip0", "gpiochip0", "pinctrl-bcm2835x", 8}}, nullptr), nullptr);
}

TEST(HeaderChip, TheEnvironmentNamesAChipByNameOrLabelOrPath) {
    EXPECT_EQ(gpio::findHeaderChip(kPi5, "gpiochip10")->path, "/dev/gpiochip10");
    EXPECT_EQ(gpio::findHeaderChip(kPi5, "gpio-mmio")->path, "/dev/gpiochip10");
    EXPECT_EQ(gpio::findHeaderChip(kPi5, "gpiochip7"), nullptr);
    EXPECT_EQ(gpio::findHeaderChip(kPi5, ""), nullptr);
    EXPECT_TRUE(gpio::isChipPath("/dev/gpiochip0"));
    EXPECT_TRUE(gpio::isChipPath("./gpiochip0"));
    EXPECT_FALSE(gpio::isChipPath("gpiochip0"));
    EXPECT_FALSE(gpio::isChipPath(nullptr));
}

TEST(CdevMessages, NameThePinTheLineTheChipAndTheReason) {
    const gpio::ChipInfo chip{"/dev/gpiochip0", "gpiochip0", "pinctrl-bcm2835", 54};
    EXPECT_EQ(gpio::lineRequestError(0, 17, chip, EBUSY),
              "cannot make pin 0 (BCM 17, line 17 of /dev/gpiochip0 'pinctrl-bcm2835') an output: "
              "Device or resource busy");
    EXPECT_EQ(gpio::lineRequestError(7, 4, chip, EACCES),
              "cannot make pin 7 (BCM 4, line 4 of /dev/gpiochip0 'pinctrl-bcm2835') an output: "
              "Permission denied");
    EXPECT_EQ(gpio::lineWriteError(0, 17, chip, 1, "Input/output error"),
              "cannot drive pin 0 (BCM 17, line 17 of /dev/gpiochip0 'pinctrl-bcm2835') high: "
              "Input/output error");
    EXPECT_EQ(gpio::chipOpenError("/dev/gpiochip0", "pinctrl-bcm2835", EACCES),
              "cannot open /dev/gpiochip0 'pinctrl-bcm2835': Permission denied (is your user in the 'gpio' group?)");
    EXPECT_EQ(gpio::chipOpenError("/dev/gpiochip4", "", ENOENT),
              "cannot open /dev/gpiochip4: No such file or directory");
    const gpio::ChipInfo small{"/dev/gpiochip0", "gpiochip0", "9030000.pl061", 8};
    EXPECT_EQ(gpio::missingLineError(0, 17, small),
              "pin 0 (BCM 17, line 17 of /dev/gpiochip0 '9030000.pl061') does not exist: the chip has 8 lines");
}

struct FakeLine {
    int busyTries;  // how many requests find the line busy before it is free
    int error = EBUSY;
    int tries = 0;
    std::int64_t nowNs = 0;

    int request() {
        ++tries;
        if (tries <= busyTries) {
            errno = error;
            return -1;
        }
        return 0;
    }

    int retry() {
        return gpio::retryWhileBusy([this] { return request(); }, gpio::kBusyPatienceNs, [this] { return nowNs; },
                                    [this] { nowNs += gpio::kBusyPauseNs; });
    }
};

TEST(BusyLine, IsWaitedForUntilItIsFree) {
    FakeLine line{150};  // held for 750 ms, as by another press
    EXPECT_EQ(line.retry(), 0);
    EXPECT_EQ(line.tries, 151);
    EXPECT_EQ(line.nowNs, 150 * gpio::kBusyPauseNs);
}

TEST(BusyLine, IsGivenUpAfterFiveSecondsWithTheKernelsError) {
    FakeLine line{1000000};
    errno = 0;
    EXPECT_EQ(line.retry(), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(line.nowNs, 5'000'000'000);
}

TEST(BusyLine, OtherRefusalsAreNotWaitedFor) {
    FakeLine line{1, EACCES};
    EXPECT_EQ(line.retry(), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(line.tries, 1);
    EXPECT_EQ(line.nowNs, 0);
}

volatile int overflowLimit = 1 << 30;

int overflowTheStack(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return depth < overflowLimit ? overflowTheStack(depth + 1) + frame[0] : 0;
}

// A real fault that leaves no stack to handle it on, with a pin high: the handler still
// drives it low and writes the recording, and the process dies of the fault.
TEST(SimulatedPinsDeathTest, AStackOverflowEndsTheRecordingWithThePinLow) {
    const std::string log = ::testing::TempDir() + "teruna-overflow.log";
    EXPECT_EXIT(
        {
            setenv("TERUNA_SIM_CLOCK", "virtual", 1);
            setenv("TERUNA_SIM_LOG", log.c_str(), 1);
            wiringPiSetup();
            pinMode(5, OUTPUT);
            digitalWrite(5, HIGH);
            overflowTheStack(0);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    const std::vector<sim::Event> events = recording::parseLog(recording::readFile(log));
    std::remove(log.c_str());
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back().call, sim::Call::digitalWrite);
    EXPECT_EQ(events.back().first, 5);
    EXPECT_EQ(events.back().second, LOW);
}

// What the kernel counts as this process's locked memory, in kB.
long lockedKb() {
    std::ifstream status("/proc/self/status");
    std::string field;
    long kb = -1;
    while (status >> field && field != "VmLck:") {
    }
    status >> kb;
    return kb;
}

TEST(Priority, LocksTheMemoryForThePressAndUnlocksItAfter) {
#ifdef TERUNA_SANITIZER_SHADOW
    GTEST_SKIP() << "a sanitizer's shadow is not locked";
#endif
    if (geteuid() != 0 || gpio::requestPriority(90) != 0) {
        GTEST_SKIP() << "needs root, for real-time priority and locked memory beyond the limit";
    }
    const long during = lockedKb();
    ASSERT_EQ(gpio::requestPriority(0), 0);
    EXPECT_GT(during, 0);
    EXPECT_EQ(lockedKb(), 0);
}

constexpr std::int64_t kMs = 1'000'000;

TEST(RunBudget, CountsWhatRanInTheLastWindowOnly) {
    struct Case {
        const char *what;
        std::int64_t ranUntilMs;  // 1 ms of running charged at the end of each ms from 1 until this
        std::int64_t askedAtMs;
        std::int64_t ranMs;
        bool allowsAnotherMs;
    };
    const Case cases[] = {
        {"within the budget", 500, 500, 500, true},
        {"at the budget", 850, 850, 850, false},
        {"what ran over a second ago has expired", 850, 1500, 350, true},
        {"all of it expired", 850, 2000, 0, true},
        {"after a long pause", 850, 600'000, 0, true},
    };
    for (const Case &c : cases) {
        gpio::RunBudget budget(1000 * kMs, 850 * kMs);
        const std::int64_t startNs = 7'000 * kMs;
        for (std::int64_t ms = 1; ms <= c.ranUntilMs; ++ms) {
            budget.charge(startNs + ms * kMs, kMs);
        }
        EXPECT_EQ(budget.ranNs(startNs + c.askedAtMs * kMs) / kMs, c.ranMs) << c.what;
        EXPECT_EQ(budget.allows(startNs + c.askedAtMs * kMs, kMs), c.allowsAnotherMs) << c.what;
    }
}

std::int64_t threadCpuNs() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<std::int64_t>(used.tv_sec) * 1'000'000'000 + used.tv_nsec;
}

// Waits back to back for longer than a second spin only as long as the kernel lets a real-time
// task run: the rest of the second they sleep, so that the kernel never throttles a press.
TEST(RealClock, WaitsBackToBackLeaveTheKernelItsShareOfEachSecond) {
    const std::int64_t allowedNs = gpio::RunBudget::fromKernel().allowedNs();
    if (allowedNs >= 1000 * kMs) {
        GTEST_SKIP() << "this kernel does not throttle real-time tasks";
    }
    // At a press's priority the waits have a core to themselves, whatever else runs.
    if (gpio::requestPriority(90) != 0) {
        GTEST_SKIP() << "needs real-time priority";
    }
    const std::int64_t beganNs = common::monotonicNs();
    std::int64_t usedAtHalfSecond = -1;
    while (common::monotonicNs() - beganNs < 1500 * kMs) {
        gpio::delayUs(110);
        if (usedAtHalfSecond < 0 && common::monotonicNs() - beganNs >= 500 * kMs) {
            usedAtHalfSecond = threadCpuNs();
        }
    }
    const std::int64_t ranNs = threadCpuNs() - usedAtHalfSecond;
    gpio::requestPriority(0);
    EXPECT_LT(ranNs, allowedNs + 50 * kMs);
}

}  // namespace
