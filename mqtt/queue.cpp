// SPDX-License-Identifier: MIT
#include "queue.h"

namespace mqtt {

bool Queue::seenRecently(const std::string &id, std::int64_t nowNs) {
    while (!idOrder_.empty() &&
           (nowNs - idOrder_.front().first > kRepeatWindowNs || idOrder_.size() > kRememberedIds)) {
        idTimes_.erase(idOrder_.front().second);
        idOrder_.pop_front();
    }
    return idTimes_.count(id) != 0;
}

Queue::Taken Queue::push(const Request &request) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) {
        return Taken::stopped;
    }
    if (!request.id.empty() && seenRecently(request.id, request.arrivedNs)) {
        return Taken::repeated;
    }
    if (waiting_.size() >= capacity_) {
        return Taken::full;
    }
    if (!request.id.empty()) {
        idTimes_[request.id] = request.arrivedNs;
        idOrder_.emplace_back(request.arrivedNs, request.id);
    }
    waiting_.push_back(request);
    ready_.notify_one();
    return Taken::queued;
}

bool Queue::pop(Request &request) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return stopped_ || !waiting_.empty(); });
    if (stopped_) {
        return false;
    }
    request = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
}

std::vector<Request> Queue::stop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    ready_.notify_all();
    std::vector<Request> left(waiting_.begin(), waiting_.end());
    waiting_.clear();
    return left;
}

}  // namespace mqtt
