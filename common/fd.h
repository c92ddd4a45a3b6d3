// SPDX-License-Identifier: MIT
// Owns a file descriptor: closed when its owner goes, whatever way it goes.
#ifndef TERUNA_COMMON_FD_H
#define TERUNA_COMMON_FD_H

#include <unistd.h>

#include <cerrno>

namespace common {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes what it held, keeping errno as it was, and takes `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int error = errno;
            close(fd_);
            errno = error;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace common

#endif
