// SPDX-License-Identifier: MIT
// Writes the recordings on which the receiver's cost per edge is counted: a minute of a
// receiver's noise, and 20 presses among noise as sent and as a receiver distorts them.
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "line.h"

namespace {

// Runs of 40 to 400 us, about 4,500 edges a second: what a receiver module outputs when no
// transmitter is near.
line::Runs receiverNoise(std::mt19937 &random, double us) { return line::noise(random, us, 40, 400); }

line::Runs pressesAmongNoise(std::mt19937 &random, bool distorted) {
    line::Runs runs = receiverNoise(random, 500000);
    for (int i = 0; i < 20; ++i) {
        const line::Runs sent = line::press(static_cast<unsigned short>(random()), random() & 0x7F);
        line::append(runs, distorted ? line::received(sent, 0.9, 40, 0.1, 0.02, random) : sent);
        line::append(runs, receiverNoise(random, 500000));
    }
    return runs;
}

bool write(const std::string &path, const line::Runs &runs) {
    std::ofstream out(path);
    out << line::vcd(runs);
    out.close();
    if (!out) {
        std::fprintf(stderr, "receiver-inputs: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("%s %zu\n", path.c_str(), runs.size());
    return true;
}

}  // namespace

int main(int argc, const char *argv[]) {
    if (argc != 2) {
        std::fputs("usage: receiver-inputs DIRECTORY\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    std::mt19937 random(4500);
    const bool written = write(dir + "/noise.vcd", receiverNoise(random, 60e6)) &&
                         write(dir + "/clean.vcd", pressesAmongNoise(random, false)) &&
                         write(dir + "/distorted.vcd", pressesAmongNoise(random, true));
    return written ? 0 : 1;
}
