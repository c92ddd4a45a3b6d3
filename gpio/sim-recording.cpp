// SPDX-License-Identifier: MIT
#include "sim-recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "clocks.h"
#include "fail.h"
#include "fd.h"
#include "signals.h"

namespace sim {

namespace {

// A file the run is recorded into.
struct Recording {
    const char *variable;
    std::string path;
    common::Fd fd;
    bool created = false;  // by this run: only then may a failed set-up remove it
    int failure = 0;       // why a write fell short: the file is given up, and the run ends with status 1
};

Recording logFile{"TERUNA_SIM_LOG", {}, {}, false, 0};
Recording vcdFile{"TERUNA_SIM_VCD", {}, {}, false, 0};
LogWriter logWriter;
VcdWriter vcdWriter;
Timeline (*timelineOf)() = nullptr;
void (*lastWordsOf)() = nullptr;
// A fault that kill sends may be taken by another thread while this one writes new calls: the
// end waits for that write rather than write the same calls beside it.
std::atomic<bool> ended{true};
std::atomic<bool> writing{false};

// How long each write of the recordings may take: a FIFO whose reader stalls must not keep the
// process, and the signals held meanwhile, waiting for ever.
constexpr std::int64_t kWritePatienceNs = 1'000'000'000;

// Opens the file the recording's variable names, if it names one, without truncating it
// yet. False, with errno, when it cannot be.
bool open(Recording &recording) {
    const char *path = std::getenv(recording.variable);
    if (path == nullptr) {
        return true;
    }
    recording.path = path;
    recording.failure = 0;
    // Readable where it can be, for a dump whose header grows: only a regular file, as a FIFO
    // opened to be read too would no longer wait for its reader.
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    recording.created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        struct stat about {};
        const bool regular = stat(path, &about) == 0 && S_ISREG(about.st_mode);
        fd = regular ? ::open(path, O_RDWR | O_CLOEXEC) : -1;
        if (fd < 0) {
            fd = ::open(path, O_WRONLY | O_CLOEXEC);
        }
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
bool failOpening(int error) {
    forget(logFile);
    forget(vcdFile);
    errno = error;
    return false;
}

// Writes what came since the last write, and with `last` ends the file. A file that falls
// short is given up.
bool writeTo(Recording &recording, const Timeline &timeline, std::int64_t giveUpNs, bool last) {
    if (!recording.fd.valid()) {
        return true;
    }
    const int fd = recording.fd.get();
    const bool whole = &recording == &logFile ? logWriter.write(fd, timeline, giveUpNs)
                       : last                 ? vcdWriter.finish(fd, timeline, giveUpNs)
                                              : vcdWriter.write(fd, timeline, giveUpNs);
    if (!whole) {
        recording.failure = errno;
    }
    if (!whole || last) {
        recording.fd.reset();
    }
    return whole;
}

const char *whyNotWritten(int error) {
    switch (error) {
    case ETIMEDOUT:
        return "its reader did not take it within a second";
    case ESPIPE:
        return "a pin was configured after its header went out, and only a regular file's header can be written again";
    default:
        return strerrordesc_np(error);
    }
}

void sayNotWritten(const Recording &recording) {
    common::complain("cannot write the recording %s: %s", recording.path.c_str(), whyNotWritten(recording.failure));
}

// Ends the recordings, once, after `lastWords`. Returns nullptr, or the recording that could not
// be written whole.
const Recording *endRecordings(void (*lastWords)()) {
    if (timelineOf == nullptr || ended.exchange(true)) {
        return nullptr;
    }
    const std::int64_t waitUntilNs = common::monotonicNs() + 2 * kWritePatienceNs;
    while (writing && common::monotonicNs() < waitUntilNs) {
        const timespec pause{0, 1'000'000};
        nanosleep(&pause, nullptr);
    }
    if (lastWords != nullptr) {
        lastWords();
    }
    const Timeline timeline = timelineOf();
    const std::int64_t giveUpNs = common::monotonicNs() + kWritePatienceNs;
    const Recording *failed = nullptr;
    for (Recording *recording : {&logFile, &vcdFile}) {
        if (!writeTo(*recording, timeline, giveUpNs, true) && failed == nullptr) {
            failed = recording;
        }
    }
    return failed;
}

void writeAtExit() {
    const sigset_t blocked = common::holdableSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    const Recording *failed = endRecordings(nullptr);
    if (failed != nullptr) {
        sayNotWritten(*failed);
    }
    if (logFile.failure != 0 || vcdFile.failure != 0) {
        // A recording cut short is not a run that went well; a signal that came meanwhile
        // still ends it.
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        _exit(1);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void writeOnSignal() {
    const Recording *failed = endRecordings(lastWordsOf);
    if (failed != nullptr) {
        FdWriter err(STDERR_FILENO);
        err << program_invocation_short_name << ": cannot write the recording " << failed->path.c_str() << ": "
            << whyNotWritten(failed->failure) << '\n';
        err.finish();
    }
}

// With SA_RESETHAND the signal's default action is back in place, and it ends the
// process as soon as the handler returns.
void writeAndRaise(int signo) {
    const int error = errno;
    writeOnSignal();
    errno = error;
    raise(signo);
}

}  // namespace

bool openRecordings() {
    if (!open(logFile) || !open(vcdFile)) {
        return failOpening(errno);
    }
    if (sameFile(logFile, vcdFile)) {
        common::complain("TERUNA_SIM_LOG and TERUNA_SIM_VCD name one file, %s: each needs its own",
                         vcdFile.path.c_str());
        return failOpening(EINVAL);
    }
    if (!truncate(logFile) || !truncate(vcdFile)) {
        return failOpening(errno);
    }
    logWriter = LogWriter();
    vcdWriter = VcdWriter();
    ended = false;
    return true;
}

void recordUntilTheEnd(Timeline (*timeline)(), void (*lastWords)()) {
    timelineOf = timeline;
    lastWordsOf = lastWords;
    static bool exitHookInstalled = false;
    if (!exitHookInstalled) {
        std::atexit(writeAtExit);
        exitHookInstalled = true;
    }
    struct sigaction action {};
    action.sa_handler = writeAndRaise;
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
    common::onFatalSignal(writeOnSignal);
}

void writeNewCalls() {
    // Every signal waits, the faults that kill sends too, so that no handler in this thread
    // finds a file half written.
    sigset_t all;
    sigfillset(&all);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &all, &previous);
    writing = true;
    Recording *const recordings[] = {&logFile, &vcdFile};
    bool fellShort[2] = {};
    if (timelineOf != nullptr && !ended) {
        const Timeline timeline = timelineOf();
        const std::int64_t giveUpNs = common::monotonicNs() + kWritePatienceNs;
        for (int i = 0; i < 2; ++i) {
            fellShort[i] = !writeTo(*recordings[i], timeline, giveUpNs, false);
        }
    }
    writing = false;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    // Said once the signals act again: standard error may block.
    for (int i = 0; i < 2; ++i) {
        const Recording &recording = *recordings[i];
        if (fellShort[i]) {
            sayNotWritten(recording);
        }
    }
}

void endRecordingsNow() {
    const Recording *failed = endRecordings(nullptr);
    if (failed != nullptr) {
        sayNotWritten(*failed);
    }
    // Said, and no longer the process's: the next run starts afresh.
    logFile.failure = 0;
    vcdFile.failure = 0;
}

}  // namespace sim
