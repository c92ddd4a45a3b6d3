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
    const char *id = "";  // that the reply names
} kBadRequests[] = {
    {"press", "not JSON"},
    {"[6400, 3]", "not a JSON object"},
    {R"({"button": 3})", "no remote"},
    {R"({"remote": "6400", "button": 3})", "remote must be a whole number"},
    {R"({"remote": 6400.5, "button": 3})", "remote must be a whole number"},
    {R"({"remote": 65536, "button": 3})", "remote must be 0 to 65535"},
    {R"({"remote": -1, "button": 3})", "remote must be 0 to 65535"},
    {R"({"remote": 6400, "button": 128})", "button must be 0 to 127"},
    {R"({"remote": 6400, "button": 128, "id": "b1"})", "button must be 0 to 127", "b1"},
    {R"({"remote": "6400", "button": 3, "id": "b2"})", "remote must be a whole number", "b2"},
    {R"({"id": "b3", "remote": 1, "remote": 6400, "button": 3})", "the key remote is given twice", "b3"},
    {R"({"remote": 6400, "button": 3, "id": 7})", "id must be a string that is not empty"},
    {R"({"remote": 6400, "button": 3})"s + '\0' + "{}", "request holds a NUL byte"},
    {R"({"remote": 6400, "id": "a)"s + '\0' + R"("})", "request holds a NUL byte"},
    {R"({"remote": 6400, "button": 3} {"remote": 1, "button": 1})", "not JSON"},
    {R"({"remote": 6400, "button": 3} x)", "not JSON"},
    {R"({"remote": 1, "remote": 6400, "button": 3})", "the key remote is given twice"},
    {R"({"remote": 6400, "button": 3, "id": "a", "id": "b"})", "the key id is given twice"},
};

}  // namespace requests

#endif
