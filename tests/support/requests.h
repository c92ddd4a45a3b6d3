// SPDX-License-Identifier: MIT
// Requests the gateway refuses, and why: read alone, and sent to the built gateway.
#ifndef TERUNA_TESTS_REQUESTS_H
#define TERUNA_TESTS_REQUESTS_H

#include <string>

namespace requests {

using namespace std::string_literals;

inline const struct {
    std::string payload;
    const char *reason;
} kBadRequests[] = {
    {"press", "not JSON"},
    {"[6400, 3]", "not a JSON object"},
    {R"({"button": 3})", "no remote"},
    {R"({"remote": "6400", "button": 3})", "remote must be a whole number"},
    {R"({"remote": 6400.5, "button": 3})", "remote must be a whole number"},
    {R"({"remote": 65536, "button": 3})", "remote must be 0 to 65535"},
    {R"({"remote": -1, "button": 3})", "remote must be 0 to 65535"},
    {R"({"remote": 6400, "button": 128})", "button must be 0 to 127"},
    {R"({"remote": 6400, "button": 3, "id": 7})", "id must be a string that is not empty"},
    {R"({"remote": 6400, "button": 3})"s + '\0' + "{}", "request holds a NUL byte"},
    {R"({"remote": 6400, "id": "a)"s + '\0' + R"("})", "request holds a NUL byte"},
    {R"({"remote": 6400, "button": 3} {"remote": 1, "button": 1})", "not JSON"},
    {R"({"remote": 6400, "button": 3} x)", "not JSON"},
};

}  // namespace requests

#endif
