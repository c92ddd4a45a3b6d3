// SPDX-License-Identifier: MIT
#include "messages.h"

#include <nlohmann/json.hpp>
#include <set>

#include "PressJson.h"
#include "clocks.h"

namespace mqtt {

namespace {

using nlohmann::json;

constexpr std::size_t kShownRequest = 256;

// Invalid UTF-8 (a request cut mid-character, or binary) is replaced, not a reason to fail.
std::string text(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// A whole number in [0, high], or why not.
std::string readId(const json &object, const char *key, unsigned int high, unsigned int &value) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return std::string("no ") + key;
    }
    if (!found->is_number_integer()) {
        return std::string(key) + " must be a whole number";
    }
    const bool negative = !found->is_number_unsigned();  // what is not negative is read as unsigned
    if (negative || found->get<std::uint64_t>() > high) {
        return std::string(key) + " must be 0 to " + std::to_string(high);
    }
    value = found->get<unsigned int>();
    return "";
}

}  // namespace

std::string parseSend(const std::string &payload, Request &request) {
    if (payload.size() > kMaxPayload) {
        return "request over " + std::to_string(kMaxPayload) + " bytes";
    }
    // The JSON parser takes a NUL as the end of its input and would not see what follows.
    if (payload.find('\0') != std::string::npos) {
        return "request holds a NUL byte";
    }
    // A key given twice would be taken once, silently: which one the sender meant is not known.
    std::string twice;
    std::set<std::string> keys;
    const json object = json::parse(
        payload,
        [&](int depth, json::parse_event_t event, json &parsed) {
            if (depth == 1 && event == json::parse_event_t::key && !keys.insert(parsed.get<std::string>()).second &&
                twice.empty()) {
                twice = parsed.get<std::string>();
            }
            return true;
        },
        false);
    if (object.is_discarded()) {
        return "not JSON";
    }
    if (!object.is_object()) {
        return "not a JSON object";
    }
    // The id first: a reply to a request refused for its values still names it.
    const auto id = object.find("id");
    if (id != object.end() && twice != "id") {
        if (!id->is_string() || id->get_ref<const std::string &>().empty()) {
            return "id must be a string that is not empty";
        }
        request.id = id->get<std::string>();
    }
    if (!twice.empty()) {
        return "the key " + twice + " is given twice";
    }
    std::string why = readId(object, "remote", kMaxRemote, request.remote);
    if (why.empty()) {
        why = readId(object, "button", kMaxButton, request.button);
    }
    request.payload = payload;
    return why;
}

std::string idOf(const std::string &payload) {
    Request request;
    parseSend(payload, request);
    return request.id;
}

std::string sentJson(const Request &request, std::int64_t startUs, double waitedMs, double tookMs) {
    json sent = {{"remote", request.remote},
                 {"button", request.button},
                 {"time", common::utcTime(startUs)},
                 {"queued_ms", static_cast<double>(static_cast<std::int64_t>(waitedMs * 10)) / 10},
                 {"took_ms", static_cast<double>(static_cast<std::int64_t>(tookMs * 10)) / 10}};
    if (!request.id.empty()) {
        sent["id"] = request.id;
    }
    return text(sent);
}

std::string errorJson(const std::string &why, const std::string &payload, const std::string &id) {
    json error = {{"reason", why}, {"request", payload.substr(0, kShownRequest)}};
    if (!id.empty()) {
        error["id"] = id;
    }
    return text(error);
}

std::string receivedJson(const rx::Press &press, const std::string &node, std::int64_t beganUs) {
    return rx::pressJson(press, beganUs, std::nullopt, node);
}

}  // namespace mqtt
