// SPDX-License-Identifier: MIT
// A Value Change Dump reader that trusts nothing in its input: every malformed or cut-short
// file ends in a message, never a crash, a hang or unbounded memory.
#include "vcd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace rx {

namespace {

// No VCD writer makes a token anywhere near this long; a longer one is not a dump.
constexpr std::size_t kMaxTokenBytes = 4096;
// Sections whose words are kept ($timescale, $var) have a handful of them.
constexpr std::size_t kMaxSectionTokens = 16;

// The bytes that separate words: space, tab, newline, carriage return, vertical tab, form feed.
constexpr std::array<bool, 256> kSpace = [] {
    std::array<bool, 256> space{};
    for (const char c : {' ', '\t', '\n', '\r', '\v', '\f'}) {
        space[static_cast<unsigned char>(c)] = true;
    }
    return space;
}();

}  // namespace

class VcdTokens {
public:
    explicit VcdTokens(const VcdSource &source) : source_(source) {}

    // The next whitespace-separated token, valid until the next call; empty at the end, when
    // the source stopped, or when `trouble()` says why.
    std::string_view next() {
        if (again_) {
            again_ = false;
            return kept_;
        }
        const std::string_view token = read();
        anyWord_ = anyWord_ || !token.empty();
        return token;
    }

private:
    std::string_view read() {
        // Most tokens lie whole within the buffer, after a separator or two, and are read in place.
        const char *const end = buffer_ + size_;
        const char *start = buffer_ + pos_;
        while (start != end && isSpace(static_cast<unsigned char>(*start))) {
            ++start;
        }
        const char *at = start;
        while (at != end && !isSpace(static_cast<unsigned char>(*at))) {
            ++at;
        }
        if (at != end && start != at) {
            pos_ = static_cast<std::size_t>(at - buffer_);
            const auto length = static_cast<std::size_t>(at - start);
            return length <= kMaxTokenBytes ? std::string_view(start, length) : tooLong();
        }
        pos_ = static_cast<std::size_t>(start - buffer_);
        return nextAcrossReads();
    }

private:
    // The next token where it may span reads.
    std::string_view nextAcrossReads() {
        token_.clear();
        if (!skipSpace()) {
            return {};
        }
        std::size_t length = tokenLength();
        if (pos_ + length < size_) {
            pos_ += length;
            return length <= kMaxTokenBytes ? std::string_view(buffer_ + pos_ - length, length) : tooLong();
        }
        for (;;) {
            if (token_.size() + length > kMaxTokenBytes) {
                return tooLong();
            }
            token_.append(buffer_ + pos_, length);
            pos_ += length;
            if (pos_ < size_) {
                return token_;
            }
            if (!fill()) {
                if (stopped_ || !trouble_.empty()) {
                    token_.clear();  // cut short by the stop or the failure: not read
                }
                return token_;
            }
            length = tokenLength();
        }
    }

public:
    // The token just read comes again at the next call.
    void putBack(std::string_view token) {
        kept_.assign(token);
        again_ = true;
    }

    // True once a token was read: the source held more than white space.
    [[nodiscard]] bool anyWord() const { return anyWord_; }

    // Skips to the `$end` that closes a section; false when there is none.
    bool skipSection() {
        for (std::string_view token = next(); !token.empty(); token = next()) {
            if (token == "$end") {
                return true;
            }
        }
        return false;
    }

    // The words up to the `$end` of a section, or false when it is not closed or too long.
    bool section(std::vector<std::string> &words) {
        for (std::string_view token = next(); !token.empty(); token = next()) {
            if (token == "$end") {
                return true;
            }
            if (words.size() == kMaxSectionTokens) {
                return false;
            }
            words.emplace_back(token);
        }
        return false;
    }

    [[nodiscard]] const std::string &trouble() const { return trouble_; }

    // Why reading stopped: what went wrong with the input itself, if anything, else `reason`.
    [[nodiscard]] std::string failure(const std::string &reason) const { return trouble_.empty() ? reason : trouble_; }

private:
    static bool isSpace(unsigned char c) { return kSpace[c]; }

    // The length of the token at `pos_`, up to the end of the buffer.
    [[nodiscard]] std::size_t tokenLength() const {
        const char *const start = buffer_ + pos_;
        const char *const end = buffer_ + size_;
        const char *at = start;
        while (at != end && !isSpace(static_cast<unsigned char>(*at))) {
            ++at;
        }
        return static_cast<std::size_t>(at - start);
    }

    // Moves past whitespace, reading on as needed; false at the end of the input.
    bool skipSpace() {
        for (;;) {
            const char *const end = buffer_ + size_;
            const char *at = buffer_ + pos_;
            while (at != end && isSpace(static_cast<unsigned char>(*at))) {
                ++at;
            }
            pos_ = static_cast<std::size_t>(at - buffer_);
            if (at != end) {
                return true;
            }
            if (!fill()) {
                return false;
            }
        }
    }

    std::string_view tooLong() {
        trouble_ = "a word longer than " + std::to_string(kMaxTokenBytes) + " bytes: not a value change dump";
        pos_ = size_ = 0;
        ended_ = true;
        token_.clear();
        return {};
    }

    // Reads the next bytes into the buffer; false at the end, on a failure or a stop.
    bool fill() {
        pos_ = size_ = 0;
        if (ended_) {
            return false;
        }
        const long n = source_(buffer_, sizeof buffer_);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                stopped_ = true;
            } else if (n < 0) {
                trouble_ = std::strerror(errno);
            }
            ended_ = true;
            return false;
        }
        size_ = static_cast<std::size_t>(n);
        if (first_) {
            first_ = false;
            if (size_ >= 3 && std::memcmp(buffer_, "\xEF\xBB\xBF", 3) == 0) {
                pos_ = 3;  // a UTF-8 byte-order mark
            }
        }
        return true;
    }

    const VcdSource &source_;
    char buffer_[65536]{};
    std::size_t pos_ = 0, size_ = 0;
    bool first_ = true, ended_ = false, stopped_ = false;
    std::string token_;  // a token that spans two reads
    std::string trouble_;
    std::string kept_;  // a token put back
    bool again_ = false, anyWord_ = false;
};

namespace {

bool toCount(std::string_view digits, std::uint64_t &value) {
    if (digits.empty() || digits.size() > 18) {
        return false;
    }
    value = 0;
    for (const char c : digits) {
        const auto digit = static_cast<unsigned char>(c - '0');
        if (digit > 9) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

// "1ns", "1 ns", "10 us": microseconds per step, or a negative value.
double timescaleUs(const std::vector<std::string> &words) {
    std::string joined;
    for (const std::string &word : words) {
        joined.append(word);
    }
    std::size_t digits = 0;
    while (digits < joined.size() && joined[digits] >= '0' && joined[digits] <= '9') {
        ++digits;
    }
    static const std::map<std::string, double> kUnits = {{"s", 1e6},   {"ms", 1e3},  {"us", 1.0},
                                                         {"ns", 1e-3}, {"ps", 1e-6}, {"fs", 1e-9}};
    const std::string number = joined.substr(0, digits);
    const auto unit = kUnits.find(joined.substr(digits));
    if ((number != "1" && number != "10" && number != "100") || unit == kUnits.end()) {
        return -1;
    }
    return std::stod(number) * unit->second;
}

// Variables that carry a line's level; events, reals, integers and strings do not.
bool isLevelType(const std::string &type) {
    static const char *const kTypes[] = {"wire",  "reg",    "logic", "bit", "tri",     "tri0",    "tri1", "triand",
                                         "trior", "trireg", "wand",  "wor", "supply0", "supply1", "uwire"};
    for (const char *known : kTypes) {
        if (type == known) {
            return true;
        }
    }
    return false;
}

std::string quoted(std::string_view token) {
    std::string shown(token.substr(0, 40));
    for (char &c : shown) {
        c = (c >= ' ' && c <= '~') ? c : '?';
    }
    return "'" + shown + (token.size() > 40 ? "...'" : "'");
}

// The keywords that only a dump's definitions hold: one among value changes begins another dump.
bool beginsDefinitions(std::string_view token) {
    static const char *const kKeywords[] = {"$date", "$version", "$timescale",     "$scope",
                                            "$var",  "$upscope", "$enddefinitions"};
    return std::any_of(std::begin(kKeywords), std::end(kKeywords), [&](const char *k) { return token == k; });
}

// Reads value changes; with `another`, it stops where another dump's definitions begin and
// says so, leaving the keyword to be read again.
std::string readBody(VcdTokens &tokens, const std::string &id, double stepUs, VcdWire &wire, const VcdLevels &onLevel,
                     const VcdTimes &onTime, bool *another) {
    std::uint64_t time = 0;
    bool timeSeen = false;
    for (std::string_view token = tokens.next(); !token.empty(); token = tokens.next()) {
        const char first = token[0];
        if (first == '#') {
            std::uint64_t next = 0;
            if (!toCount(token.substr(1), next)) {
                return "unreadable time " + quoted(token);
            }
            if (timeSeen && next < time) {
                return "time goes backwards at " + quoted(token);
            }
            time = next;
            timeSeen = true;
            wire.endUs = static_cast<double>(time) * stepUs;
            if (onTime) {
                onTime(wire.endUs);
            }
        } else if (first == '0' || first == '1' || first == 'x' || first == 'X' || first == 'z' || first == 'Z') {
            if (token.size() < 2) {
                return "value change without a wire: " + quoted(token);
            }
            if (token.size() == id.size() + 1 && std::equal(id.begin(), id.end(), token.begin() + 1)) {
                onLevel(static_cast<double>(time) * stepUs, first == '1' ? 1 : 0);
            }
        } else if (first == 'b' || first == 'B' || first == 'r' || first == 'R') {
            // A vector's value; a writer may give a 1-bit wire's value this way too.
            const char last = token.back();
            const std::string value = quoted(token);  // the next token takes the buffer's place
            const std::string_view owner = tokens.next();
            if (owner.empty()) {
                return tokens.failure("vector value without a wire: " + value);
            }
            if ((first == 'b' || first == 'B') && owner == id) {
                onLevel(static_cast<double>(time) * stepUs, last == '1' ? 1 : 0);
            }
        } else if (token == "$comment") {
            if (!tokens.skipSection()) {
                return tokens.failure("unclosed $comment");
            }
        } else if (token == "$dumpvars" || token == "$dumpall" || token == "$dumpon" || token == "$dumpoff" ||
                   token == "$end") {
            // The changes inside these blocks are read like any others.
        } else if (another != nullptr && beginsDefinitions(token)) {
            tokens.putBack(token);
            *another = true;
            break;
        } else {
            return "unexpected " + quoted(token);
        }
    }
    return tokens.trouble();
}

std::string readDump(VcdTokens &tokens, const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                     const VcdTimes &onTime, bool *another) {
    double stepUs = -1;
    std::string id;
    bool definitionsEnded = false;
    bool anyWire = false;

    while (!definitionsEnded) {
        const std::string_view token = tokens.next();
        if (token.empty()) {
            return tokens.failure("no $enddefinitions: not a value change dump, or cut short");
        }
        std::vector<std::string> fields;
        if (token == "$timescale") {
            if (!tokens.section(fields) || (stepUs = timescaleUs(fields)) < 0) {
                return tokens.failure("unreadable $timescale");
            }
        } else if (token == "$var") {
            if (!tokens.section(fields) || fields.size() < 4) {
                return tokens.failure("unreadable $var");
            }
            anyWire = true;
            const bool wanted = channel.empty() || fields[3] == channel;
            if (id.empty() && wanted && fields[1] == "1" && isLevelType(fields[0])) {
                id = fields[2];
                wire.name = fields[3];
            }
        } else if (token == "$enddefinitions") {
            if (!tokens.skipSection()) {
                return tokens.failure("unclosed $enddefinitions");
            }
            definitionsEnded = true;
        } else if (token.size() > 1 && token[0] == '$') {
            const std::string name = quoted(token);
            if (!tokens.skipSection()) {
                return tokens.failure("unclosed " + name);
            }
        } else {
            return "unexpected " + quoted(token) + " among the definitions";
        }
    }
    if (stepUs < 0) {
        return "no $timescale";
    }
    if (id.empty()) {
        return channel.empty() ? (anyWire ? "no 1-bit wire" : "no wire") : "no 1-bit wire named " + quoted(channel);
    }
    return readBody(tokens, id, stepUs, wire, onLevel, onTime, another);
}

}  // namespace

std::string readVcd(const VcdSource &source, const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                    const VcdTimes &onTime) {
    VcdTokens tokens(source);
    return readDump(tokens, channel, wire, onLevel, onTime, nullptr);
}

VcdStream::VcdStream(const VcdSource &source) : tokens_(std::make_unique<VcdTokens>(source)) {}

VcdStream::~VcdStream() = default;

std::string VcdStream::read(const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                            const VcdTimes &onTime) {
    another_ = false;
    return readDump(*tokens_, channel, wire, onLevel, onTime, &another_);
}

bool VcdStream::empty() const { return !tokens_->anyWord() && tokens_->trouble().empty(); }

std::string readVcdText(std::string_view text, const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                        const VcdTimes &onTime) {
    std::size_t at = 0;
    const VcdSource source = [&](char *buffer, std::size_t size) {
        const std::size_t n = std::min(size, text.size() - at);
        std::memcpy(buffer, text.data() + at, n);
        at += n;
        return static_cast<long>(n);
    };
    return readVcd(source, channel, wire, onLevel, onTime);
}

}  // namespace rx
