// SPDX-License-Identifier: MIT
#include "thread.h"

#include <cstring>

namespace mqtt {

std::string Thread::start(std::function<void()> body) {
    body_ = std::move(body);
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setstacksize(&attributes, kStackBytes);
        if (error == 0) {
            error = pthread_create(
                &thread_, &attributes,
                [](void *self) -> void * {
                    static_cast<Thread *>(self)->body_();
                    return nullptr;
                },
                this);
        }
        pthread_attr_destroy(&attributes);
    }
    started_ = error == 0;
    return started_ ? "" : std::string("cannot start a thread: ") + std::strerror(error);
}

void Thread::join() {
    if (started_) {
        pthread_join(thread_, nullptr);
        started_ = false;
    }
}

}  // namespace mqtt
