// SPDX-License-Identifier: MIT
// Runs a built program of the project as a child process, as a user's shell would.
#ifndef TERUNA_TESTS_CHILD_H
#define TERUNA_TESTS_CHILD_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tool_under_test.h"

extern char **environ;

namespace child {

struct Outcome {
    int status = -1;    // the exit status, or 128 + the signal that ended it
    long maxRssKb = 0;  // the most memory it held at once
    std::string out;
    std::string err;
};

// The tool's environment: this process's without any TERUNA_ variable, then `extra`, in
// which a later entry replaces an earlier one of the same name.
inline std::vector<std::string> environmentWith(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TERUNA_", 7) != 0) {
            env.emplace_back(*entry);
        }
    }
    for (const std::string &setting : extra) {
        const std::string name = setting.substr(0, setting.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string &e) { return e.rfind(name, 0) == 0; }),
                  env.end());
        env.push_back(setting);
    }
    return env;
}

inline std::vector<char *> pointersTo(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (std::string &s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

class Child {
public:
    // Starts `binary` (the tool by default) with `args`; its standard output goes to a
    // pipe, or to `outFile`. argv[0] is the program's name, as a user types it. Two outFile
    // names stand for hostile outputs: kClosedPipe, a pipe whose reader has gone, and
    // kFullPipe, a pipe that is full and that nobody reads. Standard error may be such a pipe
    // too, and the right to real-time priority may be taken away, even from root.
    Child(std::vector<std::string> args, std::vector<std::string> env, const std::string &outFile = "",
          const std::string &binary = TERUNA_BINARY, const std::string &name = "teruna", long fileSizeLimit = -1,
          const std::string &errFile = "", bool withoutRealTime = false) {
        std::vector<std::string> emulator = {TERUNA_EMULATOR};
        if (emulator.empty()) {
            args.insert(args.begin(), name);
        } else {
            emulator.insert(emulator.end(), {"-0", name, binary});
            args.insert(args.begin(), emulator.begin(), emulator.end());
        }
        int outPipe[2];
        int errPipe[2];
        if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        std::vector<char *> argv = pointersTo(args);
        std::vector<char *> envp = pointersTo(env);
        pid_ = fork();
        if (pid_ == 0) {
            // A group of its own, whose parent is in another group of the session: the
            // kernel would discard a stop signal sent to an orphaned group.
            setpgid(0, 0);
            const rlimit noCore{0, 0};  // SIGQUIT would dump one
            setrlimit(RLIMIT_CORE, &noCore);
            if (fileSizeLimit >= 0) {
                const rlimit fileSize{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
                setrlimit(RLIMIT_FSIZE, &fileSize);
            }
            const int out = outFile == kNoOutput     ? -1
                            : outFile.empty()        ? outPipe[1]
                            : outFile == kClosedPipe ? closedPipe()
                            : outFile == kFullPipe   ? fullPipe()
                                                     : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                dup2(out, STDOUT_FILENO);
            } else {
                close(STDOUT_FILENO);
            }
            dup2(errFile == kFullPipe ? fullPipe() : errPipe[1], STDERR_FILENO);
            if (withoutRealTime) {
                const rlimit none{0, 0};
                setrlimit(RLIMIT_RTPRIO, &none);
                prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0);
            }
            close(outPipe[0]);
            close(errPipe[0]);
            execvpe(emulator.empty() ? binary.c_str() : emulator.front().c_str(), argv.data(), envp.data());
            _exit(127);
        }
        close(outPipe[1]);
        close(errPipe[1]);
        outFd_ = outPipe[0];
        errFd_ = errPipe[0];
    }

    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        closeFd(outFd_);
        closeFd(errFd_);
    }

    // Reads standard output up to its first newline.
    std::string firstLine() {
        std::string line;
        char c = 0;
        while (line.find('\n') == std::string::npos && read(outFd_, &c, 1) == 1) {
            line += c;
        }
        outcome_.out += line;
        return line;
    }

    pid_t pid() const { return pid_; }

    // Waits, for up to 5 s, until the child runs at real-time priority, as the tool does from
    // just before its press, once its memory is locked (which takes an emulator long). Only
    // root's children get that priority; others return at once.
    void waitUntilRealTime() const {
        for (int tries = 0; geteuid() == 0 && tries < 500 && sched_getscheduler(pid_) != SCHED_RR; ++tries) {
            usleep(10 * 1000);
        }
    }

    // True once the child has stopped; false when it ended instead, or 10 s passed.
    bool waitUntilStopped() {
        for (int tries = 0; tries < 1000; ++tries) {
            int status = 0;
            const pid_t changed = waitpid(pid_, &status, WNOHANG | WUNTRACED);
            if (changed == pid_) {
                if (WIFSTOPPED(status)) {
                    return true;
                }
                reaped_ = true;
                outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return false;
            }
            usleep(10 * 1000);
        }
        return false;
    }

    bool running() {
        int status = 0;
        rusage usage{};
        const pid_t done = wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_) {
            reaped_ = true;
            record(status, usage);
        }
        return done == 0;
    }

    // True when the child ends within `ms` milliseconds; otherwise it is killed.
    bool endsWithin(int ms) {
        for (int waited = 0; waited < ms && running(); waited += 10) {
            usleep(10 * 1000);
        }
        if (running()) {
            kill(pid_, SIGKILL);
            return false;
        }
        return true;
    }

    // Reads standard error until it holds `text`: true once it does, false when the child ends
    // or 20 s pass first. finish() gives all of it.
    bool waitForErr(const std::string &text) {
        for (int waited = 0; outcome_.err.find(text) == std::string::npos; waited += 10) {
            pollfd ready = {errFd_, POLLIN, 0};
            if (errFd_ < 0 || waited >= 20'000 || poll(&ready, 1, 10) < 0) {
                return false;
            }
            char buffer[4096];
            const ssize_t n = ready.revents != 0 ? read(errFd_, buffer, sizeof buffer) : 0;
            if (ready.revents != 0 && n <= 0) {
                return false;
            }
            outcome_.err.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return true;
    }

    Outcome finish() {
        pollfd fds[] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        std::string *sinks[] = {&outcome_.out, &outcome_.err};
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            if (poll(fds, 2, -1) < 0) {
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) {
                    continue;
                }
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    closeFd(fds[i].fd);
                    fds[i].fd = -1;
                } else {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        outFd_ = errFd_ = -1;
        if (!reaped_) {
            int status = 0;
            rusage usage{};
            wait4(pid_, &status, 0, &usage);
            reaped_ = true;
            record(status, usage);
        }
        return outcome_;
    }

    static constexpr const char *kNoOutput = "|none";  // started with >&-
    static constexpr const char *kClosedPipe = "|closed";
    static constexpr const char *kFullPipe = "|full";

private:
    static int closedPipe() {
        int ends[2];
        if (pipe(ends) != 0) {
            return -1;
        }
        close(ends[0]);
        return ends[1];
    }

    // The child itself keeps the reading end, so that writes block rather than fail.
    static int fullPipe() {
        int ends[2];
        if (pipe(ends) != 0) {
            return -1;
        }
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
        const char block[4096] = {};
        while (write(ends[1], block, sizeof block) > 0) {
        }
        fcntl(ends[1], F_SETFL, 0);
        return ends[1];
    }

    void record(int status, const rusage &usage) {
        outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome_.maxRssKb = usage.ru_maxrss;
    }

    static void closeFd(int fd) {
        if (fd >= 0) {
            close(fd);
        }
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int outFd_ = -1;
    int errFd_ = -1;
    Outcome outcome_;
};

// A fresh folder for one test's files, removed with everything in it afterwards.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix) {
        std::string pattern = ::testing::TempDir() + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        }
        path_ = pattern;
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace child

#endif
