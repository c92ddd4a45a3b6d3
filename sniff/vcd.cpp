// A Value Change Dump reader that trusts nothing in its input: every malformed or cut-short
// file ends in a message, never a crash or a hang.
#include "vcd.h"

#include <cstdint>
#include <map>

namespace {

class Tokens {
public:
    explicit Tokens(std::string_view text) : text_(text) {}

    // The next whitespace-separated token; empty at the end.
    std::string_view next() {
        while (pos_ < text_.size() && isSpace(text_[pos_])) {
            ++pos_;
        }
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !isSpace(text_[pos_])) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    // Skips to the `$end` that closes a section; false when there is none.
    bool skipSection() {
        for (std::string_view token = next(); !token.empty(); token = next()) {
            if (token == "$end") {
                return true;
            }
        }
        return false;
    }

    // The tokens up to the `$end` of a section, or false when it is not closed.
    bool section(std::vector<std::string_view> &tokens) {
        for (std::string_view token = next(); !token.empty(); token = next()) {
            if (token == "$end") {
                return true;
            }
            tokens.push_back(token);
        }
        return false;
    }

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

    std::string_view text_;
    std::size_t pos_ = 0;
};

bool toCount(std::string_view digits, std::uint64_t &value) {
    if (digits.empty() || digits.size() > 18) {
        return false;
    }
    value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// "1ns", "1 ns", "10 us": microseconds per step, or a negative value.
double timescaleUs(const std::vector<std::string_view> &tokens) {
    std::string joined;
    for (const std::string_view token : tokens) {
        joined.append(token);
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

std::string quoted(std::string_view token) {
    std::string shown(token.substr(0, 40));
    for (char &c : shown) {
        c = (c >= ' ' && c <= '~') ? c : '?';
    }
    return "'" + shown + (token.size() > 40 ? "...'" : "'");
}

}  // namespace

std::string readVcd(std::string_view text, const std::string &channel, VcdWire &wire) {
    Tokens tokens(text);
    double stepUs = -1;
    std::string id;
    bool definitionsEnded = false;
    bool anyWire = false;

    while (!definitionsEnded) {
        const std::string_view token = tokens.next();
        if (token.empty()) {
            return "no $enddefinitions: not a value change dump, or cut short";
        }
        std::vector<std::string_view> fields;
        if (token == "$timescale") {
            if (!tokens.section(fields) || (stepUs = timescaleUs(fields)) < 0) {
                return "unreadable $timescale";
            }
        } else if (token == "$var") {
            if (!tokens.section(fields) || fields.size() < 4) {
                return "unreadable $var";
            }
            anyWire = true;
            const bool wanted = channel.empty() ? id.empty() : fields[3] == channel;
            if (fields[1] == "1" && wanted && id.empty()) {
                id = std::string(fields[2]);
                wire.name = std::string(fields[3]);
            }
        } else if (token == "$enddefinitions") {
            if (!tokens.skipSection()) {
                return "unclosed $enddefinitions";
            }
            definitionsEnded = true;
        } else if (token.size() > 1 && token[0] == '$') {
            if (!tokens.skipSection()) {
                return "unclosed " + quoted(token);
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

    std::uint64_t time = 0;
    bool timeSeen = false;
    wire.levels.clear();
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
        } else if (token == "$comment") {
            if (!tokens.skipSection()) {
                return "unclosed $comment";
            }
        } else if (token == "$dumpvars" || token == "$dumpall" || token == "$dumpon" || token == "$dumpoff" ||
                   token == "$end") {
            // The changes inside these blocks are read like any others.
        } else if (first == '0' || first == '1' || first == 'x' || first == 'X' || first == 'z' || first == 'Z') {
            if (token.size() < 2) {
                return "value change without a wire: " + quoted(token);
            }
            if (token.substr(1) == id) {
                wire.levels.emplace_back(static_cast<double>(time) * stepUs, first == '1' ? 1 : 0);
            }
        } else if (first == 'b' || first == 'B' || first == 'r' || first == 'R') {
            if (tokens.next().empty()) {
                return "vector value without a wire: " + quoted(token);
            }
        } else {
            return "unexpected " + quoted(token);
        }
    }
    wire.endUs = static_cast<double>(time) * stepUs;
    return "";
}
