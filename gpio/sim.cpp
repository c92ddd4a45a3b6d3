// SPDX-License-Identifier: MIT
// Simulated pins: the GPIO API on a PC, on the real clock or a virtual one, recorded as
// a call log and as a Value Change Dump that waveform viewers open.
#include "sim.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <iterator>
#include <new>
#include <string>
#include <sys/stat.h>

#include "clock.h"
#include "fail.h"
#include "fd.h"
#include "pins.h"
#include "signals.h"
#include "wiringPi.h"

namespace {

constexpr int kPins = 32;

// A file the run is recorded into.
struct Recording {
    const char *variable;
    std::string path;
    common::Fd fd;
    bool created = false;  // by this run: only then may a failed set-up remove it
};

struct Run {
    bool setUp = false;
    bool virtualClock = false;
    bool refusePriority = false;
    bool written = false;
    std::int64_t startNs = 0;    // CLOCK_MONOTONIC at set-up, for the real clock
    std::int64_t virtualNs = 0;  // time since set-up, for the virtual clock
    Recording log{"TERUNA_SIM_LOG", {}, {}, false};
    Recording vcd{"TERUNA_SIM_VCD", {}, {}, false};
    bool outOfMemory = false;  // calls went unrecorded
    void (*realDelay)(unsigned int us) = gpio::delayUs;
    std::vector<sim::Event> events;
    // By wiringPi pin: whether pinMode made it an output, and whether it was last driven high.
    bool output[kPins] = {};
    bool high[kPins] = {};
};

Run run;

std::int64_t nowNs() { return run.virtualClock ? run.virtualNs : gpio::monotonicNs() - run.startNs; }

// A signal handler may write out the recording at any moment, so the events never
// move in memory while it could run; room is kept for the handler's own lows of every pin.
void record(const sim::Event &event) {
    if (!run.setUp || run.outOfMemory) {
        return;
    }
    if (run.events.size() + kPins >= run.events.capacity()) {
        const sigset_t blocked = common::holdableSignals();
        sigset_t previous;
        sigprocmask(SIG_BLOCK, &blocked, &previous);
        try {
            run.events.reserve(2 * run.events.capacity() + 1024);
        } catch (const std::bad_alloc &) {
            run.outOfMemory = true;
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (run.outOfMemory) {
            return;
        }
    }
    run.events.push_back(event);
}

// How long the recordings may take to write: a FIFO whose reader stalls must not keep the
// process, and the signals held meanwhile, waiting for ever.
constexpr std::int64_t kWritePatienceNs = 1'000'000'000;
constexpr std::int64_t kNever = INT64_MAX;

// Buffered output with write(2) and hand-made number formatting only, so that it is
// safe inside a signal handler. A descriptor that does not block gives up at `giveUpNs`
// (CLOCK_MONOTONIC) with ETIMEDOUT.
class FdWriter {
public:
    explicit FdWriter(int fd, std::int64_t giveUpNs = kNever) : fd_(fd), giveUpNs_(giveUpNs) {}
    FdWriter(const FdWriter &) = delete;
    FdWriter &operator=(const FdWriter &) = delete;
    ~FdWriter() = default;

    // Writes what is buffered; false, with errno, when the file did not take all of it.
    bool finish() {
        flush();
        if (error_ != 0) {
            errno = error_;
        }
        return error_ == 0;
    }

    FdWriter &operator<<(const char *text) {
        while (*text != '\0') {
            put(*text++);
        }
        return *this;
    }

    FdWriter &operator<<(char c) {
        put(c);
        return *this;
    }

    FdWriter &operator<<(std::int64_t number) {
        char digits[24];
        int count = 0;
        const bool negative = number < 0;
        // Negated digit by digit, so that the most negative value needs no special case.
        do {
            const int digit = static_cast<int>(number % 10);
            digits[count++] = static_cast<char>('0' + (negative ? -digit : digit));
            number /= 10;
        } while (number != 0);
        if (negative) {
            put('-');
        }
        while (count > 0) {
            put(digits[--count]);
        }
        return *this;
    }

    // Nanoseconds as microseconds: whole on the virtual clock, with three decimals otherwise.
    void micros(std::int64_t ns) {
        *this << ns / 1000;
        if (!run.virtualClock) {
            const auto fraction = static_cast<int>(ns % 1000);
            *this << '.' << static_cast<char>('0' + fraction / 100) << static_cast<char>('0' + fraction / 10 % 10)
                  << static_cast<char>('0' + fraction % 10);
        }
    }

private:
    void put(char c) {
        if (used_ == sizeof buffer_) {
            flush();
        }
        buffer_[used_++] = c;
    }

    void flush() {
        std::size_t done = 0;
        while (done < used_ && error_ == 0) {
            const ssize_t n = write(fd_, buffer_ + done, used_ - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN && waitUntilWritable()) {
                continue;
            }
            if (n <= 0) {
                error_ = n < 0 ? errno : ENOSPC;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        used_ = 0;
    }

    bool waitUntilWritable() {
        const std::int64_t leftNs = giveUpNs_ - gpio::monotonicNs();
        if (leftNs <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd ready{fd_, POLLOUT, 0};
        const int n = poll(&ready, 1, static_cast<int>(leftNs / 1'000'000 + 1));
        if (n == 0) {
            errno = ETIMEDOUT;
        }
        return n > 0 || (n < 0 && errno == EINTR);
    }

    int fd_;
    std::int64_t giveUpNs_;
    int error_ = 0;
    std::size_t used_ = 0;
    char buffer_[4096]{};
};

bool writeLog(int fd, std::int64_t giveUpNs) {
    static const char *const kNames[] = {"wiringPiSetup", "pinMode", "digitalWrite", "delayMicroseconds", "piHiPri"};
    FdWriter out(fd, giveUpNs);
    for (const sim::Event &event : run.events) {
        out.micros(event.timeNs);
        out << ' ' << kNames[static_cast<int>(event.call)];
        switch (event.call) {
        case sim::Call::wiringPiSetup:
            out << ' ' << std::int64_t{event.result};
            break;
        case sim::Call::pinMode:
        case sim::Call::digitalWrite:
            out << ' ' << event.first << ' ' << std::int64_t{event.second};
            break;
        case sim::Call::delayMicroseconds:
            out << ' ' << event.first;
            break;
        case sim::Call::piHiPri:
            out << ' ' << event.first << ' ' << std::int64_t{event.result};
            break;
        }
        out << '\n';
    }
    return out.finish();
}

constexpr int kMaxWires = 32;

// One 1-bit wire per pin that pinMode configured, named after its wiringPi number.
bool writeVcd(int fd, std::int64_t giveUpNs) {
    int pins[kMaxWires];
    char level[kMaxWires];
    int wires = 0;
    auto wireOf = [&](std::int64_t pin) {
        for (int i = 0; i < wires; ++i) {
            if (pins[i] == pin) {
                return i;
            }
        }
        return -1;
    };
    for (const sim::Event &event : run.events) {
        if (event.call == sim::Call::pinMode && gpio::bcmLineOf(static_cast<int>(event.first)) >= 0 &&
            wireOf(event.first) < 0 && wires < kMaxWires) {
            pins[wires] = static_cast<int>(event.first);
            level[wires] = 'z';
            ++wires;
        }
    }

    FdWriter out(fd, giveUpNs);
    out << "$version teruna simulated pins $end\n$timescale 1ns $end\n$scope module gpio $end\n";
    for (int i = 0; i < wires; ++i) {
        out << "$var wire 1 " << static_cast<char>('!' + i) << " pin" << std::int64_t{pins[i]} << " $end\n";
    }
    out << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (int i = 0; i < wires; ++i) {
        out << 'z' << static_cast<char>('!' + i) << '\n';
    }
    out << "$end\n";

    std::int64_t shownNs = 0;
    for (const sim::Event &event : run.events) {
        const bool drivesPin = event.call == sim::Call::pinMode || event.call == sim::Call::digitalWrite;
        const int wire = drivesPin ? wireOf(event.first) : -1;
        if (wire < 0) {
            continue;
        }
        char next = level[wire];
        if (event.call == sim::Call::pinMode) {
            next = event.second == OUTPUT ? (level[wire] == 'z' ? '0' : level[wire]) : 'z';
        } else if (event.call == sim::Call::digitalWrite && level[wire] != 'z') {
            next = event.second == LOW ? '0' : '1';
        }
        if (next == level[wire]) {
            continue;
        }
        if (event.timeNs != shownNs) {
            shownNs = event.timeNs;
            out << '#' << shownNs << '\n';
        }
        // Changes at one instant are all kept, so a zero-width pulse stays visible.
        out << next << static_cast<char>('!' + wire) << '\n';
        level[wire] = next;
    }
    const std::int64_t endNs = nowNs();
    if (endNs > shownNs) {
        out << '#' << endNs << '\n';
    }
    return out.finish();
}

// Before the process ends on a signal: a pin left high is driven low, as the backends on real
// pins do, and the recordings show it.
void lowerOutputs() {
    if (!run.setUp) {
        return;
    }
    for (int pin = 0; pin < kPins; ++pin) {
        if (run.output[pin] && run.high[pin] && run.events.size() < run.events.capacity()) {
            run.events.push_back({nowNs(), sim::Call::digitalWrite, pin, LOW, 0});
            run.high[pin] = false;
        }
    }
}

// Writes the recording files. Returns nullptr, or the recording that could not be written
// whole, with errno.
const Recording *writeRecording() {
    if (!run.setUp || run.written) {
        return nullptr;
    }
    run.written = true;
    const std::int64_t giveUpNs = gpio::monotonicNs() + kWritePatienceNs;
    const Recording *failed = nullptr;
    if (run.outOfMemory) {
        failed = run.log.fd.valid() ? &run.log : &run.vcd;
        errno = ENOMEM;
    }
    for (Recording *recording : {&run.log, &run.vcd}) {
        if (!recording->fd.valid()) {
            continue;
        }
        const bool whole =
            recording == &run.log ? writeLog(recording->fd.get(), giveUpNs) : writeVcd(recording->fd.get(), giveUpNs);
        const int error = errno;
        if (!whole && failed == nullptr) {
            failed = recording;
        }
        recording->fd.reset();
        errno = error;
    }
    return failed;
}

const char *whyNotWritten(int error) {
    return error == ETIMEDOUT ? "its reader did not take it within a second" : strerrordesc_np(error);
}

void writeRecordingAtExit() {
    const sigset_t blocked = common::holdableSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    const Recording *failed = writeRecording();
    if (failed != nullptr) {
        // A recording cut short is not a run that went well; a signal that came meanwhile
        // still ends it.
        common::complain("cannot write the recording %s: %s", failed->path.c_str(), whyNotWritten(errno));
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        _exit(1);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void endRecordingOnSignal() {
    lowerOutputs();
    const Recording *failed = writeRecording();
    if (failed != nullptr) {
        const char *reason = whyNotWritten(errno);
        FdWriter err(STDERR_FILENO);
        err << program_invocation_short_name << ": cannot write the recording " << failed->path.c_str() << ": "
            << reason << '\n';
        err.finish();
    }
}

// With SA_RESETHAND the signal's default action is back in place, and it ends the
// process as soon as the handler returns.
void endRecordingAndRaise(int signo) {
    const int error = errno;
    endRecordingOnSignal();
    errno = error;
    raise(signo);
}

void writeRecordingBeforeEndingSignals() {
    struct sigaction action {};
    action.sa_handler = endRecordingAndRaise;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    action.sa_mask = common::holdableSignals();
    for (int signo = 1; signo < NSIG; ++signo) {
        struct sigaction current {};
        // Leave alone what the caller chose: an ignored SIGHUP under nohup, or its own handler.
        if (common::defaultActionOf(signo) == common::SignalDefault::ends && sigaction(signo, nullptr, &current) == 0 &&
            current.sa_handler == SIG_DFL) {
            sigaction(signo, &action, nullptr);
        }
    }
    common::onFatalSignal(endRecordingOnSignal);
}

// Opens the file the recording's variable names, if it names one, without truncating it
// yet and never as standard input, output or error. False, with errno, when it cannot be.
bool openRecording(Recording &recording) {
    const char *path = std::getenv(recording.variable);
    if (path == nullptr) {
        return true;
    }
    recording.path = path;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    recording.created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open(path, O_WRONLY | O_CLOEXEC);
    }
    if (fd >= 0 && fd <= STDERR_FILENO) {
        // With one of them closed, the lowest free descriptor is theirs: what the tool prints
        // there must not land in the recording.
        const int above = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = above;
    }
    // Written at exit within a deadline, which a FIFO's stalled reader must not outlast.
    if (fd >= 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    recording.fd.reset(fd);
    return fd >= 0;
}

void forget(Recording &recording) {
    if (recording.fd.valid() && recording.created) {
        unlink(recording.path.c_str());
    }
    recording.fd.reset();
    recording.created = false;
}

bool sameFile(const Recording &a, const Recording &b) {
    struct stat first {
    }, second{};
    return a.fd.valid() && b.fd.valid() && fstat(a.fd.get(), &first) == 0 && fstat(b.fd.get(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Only now, with both open, is what a file held before given up. False, with errno, when
// it cannot be.
bool truncate(const Recording &recording) {
    struct stat about {};
    return !recording.fd.valid() || fstat(recording.fd.get(), &about) != 0 || !S_ISREG(about.st_mode) ||
           ftruncate(recording.fd.get(), 0) == 0;
}

// Set-up failed: nothing of this run is left behind.
int failSetUp(int error) {
    forget(run.log);
    forget(run.vcd);
    errno = error;
    return -1;
}

}  // namespace

extern "C" int wiringPiSetup(void) {
    if (run.setUp) {
        record({nowNs(), sim::Call::wiringPiSetup, 0, 0, 0});
        return 0;
    }
    const char *clock = std::getenv("TERUNA_SIM_CLOCK");
    if (clock != nullptr && std::strcmp(clock, "virtual") != 0) {
        errno = EINVAL;
        return -1;
    }
    if (clock == nullptr && std::getenv("TERUNA_SIM_LOG") == nullptr && std::getenv("TERUNA_SIM_VCD") == nullptr) {
        // A build for a PC must not be mistaken for a real send.
        common::complain("simulated pins: nothing is transmitted");
    }
    if (!openRecording(run.log) || !openRecording(run.vcd)) {
        return failSetUp(errno);
    }
    if (sameFile(run.log, run.vcd)) {
        common::complain("TERUNA_SIM_LOG and TERUNA_SIM_VCD name one file, %s: each needs its own",
                         run.vcd.path.c_str());
        return failSetUp(EINVAL);
    }
    try {
        run.events.reserve(1 << 16);
    } catch (const std::bad_alloc &) {
        return failSetUp(ENOMEM);
    }
    if (!truncate(run.log) || !truncate(run.vcd)) {
        return failSetUp(errno);
    }

    static bool exitHookInstalled = false;
    if (!exitHookInstalled) {
        std::atexit(writeRecordingAtExit);
        exitHookInstalled = true;
    }
    writeRecordingBeforeEndingSignals();

    run.virtualClock = clock != nullptr;
    run.outOfMemory = false;
    run.written = false;
    run.virtualNs = 0;
    std::fill(std::begin(run.output), std::end(run.output), false);
    std::fill(std::begin(run.high), std::end(run.high), false);
    run.startNs = gpio::monotonicNs();
    run.setUp = true;
    record({0, sim::Call::wiringPiSetup, 0, 0, 0});
    return 0;
}

extern "C" void pinMode(int pin, int mode) {
    record({nowNs(), sim::Call::pinMode, pin, mode, 0});
    if (gpio::bcmLineOf(pin) < 0) {
        gpio::exitUnknownPin(pin);
    }
    run.output[pin] = mode == OUTPUT;
    run.high[pin] = false;
}

extern "C" void digitalWrite(int pin, int value) {
    record({nowNs(), sim::Call::digitalWrite, pin, value, 0});
    if (pin >= 0 && pin < kPins) {
        run.high[pin] = value != LOW;
    }
}

extern "C" void delayMicroseconds(unsigned int howLong) {
    const std::int64_t durationNs = std::int64_t{howLong} * 1000;
    if (run.virtualClock) {
        record({run.virtualNs, sim::Call::delayMicroseconds, howLong, 0, 0});
        run.virtualNs += durationNs;
        return;
    }
    record({gpio::monotonicNs() - run.startNs, sim::Call::delayMicroseconds, howLong, 0, 0});
    run.realDelay(howLong);
}

extern "C" int piHiPri(const int pri) {
    int result = 0;
    if (run.refusePriority) {
        errno = EPERM;
        result = -1;
    } else if (!run.virtualClock) {
        result = gpio::requestPriority(pri);
    }
    if (result != 0 && pri > 0) {
        const int error = errno;
        gpio::sayPriorityRefused(error);
        errno = error;
    }
    record({nowNs(), sim::Call::piHiPri, pri, 0, result});
    return result;
}

namespace sim {

std::vector<Event> events() { return run.events; }

void reset() {
    writeRecording();
    const bool refuse = run.refusePriority;
    run.events.clear();
    run.setUp = false;
    run.virtualClock = false;
    run.refusePriority = refuse;
}

void refusePriority(bool refuse) { run.refusePriority = refuse; }

void useRealDelay(void (*delay)(unsigned int us)) { run.realDelay = delay != nullptr ? delay : gpio::delayUs; }

}  // namespace sim
