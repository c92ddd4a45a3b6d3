// SPDX-License-Identifier: MIT
// Reads one 1-bit wire out of a Value Change Dump, as a stream: the subset that the
// simulated pins, GTKWave, PulseView and sigrok-cli write.
#ifndef TERUNA_RX_VCD_H
#define TERUNA_RX_VCD_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace rx {

struct VcdWire {
    std::string name;  // "pin0"
    double endUs = 0;  // the last time read, also where reading failed or stopped
};

// Fills the buffer with the next bytes of the dump; returns how many, 0 at its end, or -1
// with errno when it cannot be read. -1 with EINTR stops the reading at once: what was read
// counts, a word cut short by the stop does not.
using VcdSource = std::function<long(char *buffer, std::size_t size)>;

// The wire's level changes, time in us and level 0 or 1 (x and z read as 0), in time order.
using VcdLevels = std::function<void(double timeUs, int level)>;
// Every time the dump reaches, changes or none.
using VcdTimes = std::function<void(double timeUs)>;

// Reads the wire named `channel`, or the first 1-bit wire or register when `channel` is
// empty, passing its changes to `onLevel` and the times to `onTime` as they are read;
// memory stays small whatever the dump's length. Returns "" on success, or what is wrong
// with the dump.
std::string readVcd(const VcdSource &source, const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                    const VcdTimes &onTime = {});

class VcdTokens;

// Reads the dumps that follow one another in one stream (the writers of a FIFO, each one dump,
// may follow so closely that no end of file comes between them): a dump ends where another's
// definitions begin after its value changes, and the bytes already read carry over to that one.
class VcdStream {
public:
    // `source` must outlive the stream.
    explicit VcdStream(const VcdSource &source);
    ~VcdStream();
    VcdStream(const VcdStream &) = delete;
    VcdStream &operator=(const VcdStream &) = delete;

    // Reads the next dump as readVcd reads one.
    std::string read(const std::string &channel, VcdWire &wire, const VcdLevels &onLevel, const VcdTimes &onTime = {});

    // The dump last read ended where another's definitions begin: read() reads that one.
    [[nodiscard]] bool another() const { return another_; }

    // The stream ended, or stopped, with nothing but white space read: it held no dump at all.
    [[nodiscard]] bool empty() const;

private:
    std::unique_ptr<VcdTokens> tokens_;
    bool another_ = false;
};

// The same as readVcd, from a dump in memory.
std::string readVcdText(std::string_view text, const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                        const VcdTimes &onTime = {});

}  // namespace rx

#endif
