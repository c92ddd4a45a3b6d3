// SPDX-License-Identifier: MIT
#include "sim-recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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
};

Recording logFile{"TERUNA_SIM_LOG", {}, {}, false};
Recording vcdFile{"TERUNA_SIM_VCD", {}, {}, false};
bool written = true;
Timeline (*timelineOf)() = nullptr;
void (*lastWordsOf)() = nullptr;

// How long the recordings may take to write: a FIFO whose reader stalls must not keep the
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
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    recording.created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = ::open(path, O_WRONLY | O_CLOEXEC);
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

// Writes the recording files. Returns nullptr, or the recording that could not be written
// whole, with errno.
const Recording *write() {
    if (written || timelineOf == nullptr) {
        return nullptr;
    }
    written = true;
    const Timeline timeline = timelineOf();
    const std::int64_t giveUpNs = common::monotonicNs() + kWritePatienceNs;
    const Recording *failed = nullptr;
    if (!timeline.complete) {
        failed = logFile.fd.valid() ? &logFile : &vcdFile;
        errno = ENOMEM;
    }
    for (Recording *recording : {&logFile, &vcdFile}) {
        if (!recording->fd.valid()) {
            continue;
        }
        const bool whole = recording == &logFile ? writeLog(recording->fd.get(), timeline, giveUpNs)
                                                 : writeVcd(recording->fd.get(), timeline, giveUpNs);
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

void writeAtExit() {
    const sigset_t blocked = common::holdableSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    const Recording *failed = write();
    if (failed != nullptr) {
        // A recording cut short is not a run that went well; a signal that came meanwhile
        // still ends it.
        common::complain("cannot write the recording %s: %s", failed->path.c_str(), whyNotWritten(errno));
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        _exit(1);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void writeOnSignal() {
    if (lastWordsOf != nullptr) {
        lastWordsOf();
    }
    const Recording *failed = write();
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
    written = false;
    return true;
}

void writeRecordingsAtEnd(Timeline (*timeline)(), void (*lastWords)()) {
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

void writeRecordingsNow() { write(); }

}  // namespace sim
