// SPDX-License-Identifier: MIT
// A line's edge events through the kernel's character device, for listening on an input.
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cdev.h"

common::Fd gpio::requestEdges(int chipFd, int line, int &level) {
    gpio_v2_line_request request{};
    request.offsets[0] = static_cast<__u32>(line);
    request.num_lines = 1;
    std::strncpy(request.consumer, program_invocation_short_name, sizeof request.consumer - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    // The kernel's default holds 16 edges, a few milliseconds of a press; this is its largest.
    request.event_buffer_size = kEdgeBufferSize;
    if (ioctl(chipFd, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        return {};
    }
    common::Fd lineFd(request.fd);
    gpio_v2_line_values values{};
    values.mask = 1;
    if (ioctl(lineFd.get(), GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0 ||
        fcntl(lineFd.get(), F_SETFL, fcntl(lineFd.get(), F_GETFL) | O_NONBLOCK) != 0) {
        return {};
    }
    level = static_cast<int>(values.bits & 1);
    return lineFd;
}

int gpio::readEdges(int lineFd, Edge *edges, int capacity) {
    gpio_v2_line_event events[kEdgesPerRead];
    const auto wanted = static_cast<std::size_t>(capacity < kEdgesPerRead ? capacity : kEdgesPerRead);
    const ssize_t n = read(lineFd, events, wanted * sizeof events[0]);
    if (n < 0) {
        return errno == EAGAIN ? 0 : -1;
    }
    const int count = static_cast<int>(static_cast<std::size_t>(n) / sizeof events[0]);
    for (int i = 0; i < count; ++i) {
        edges[i] = {static_cast<std::int64_t>(events[i].timestamp_ns),
                    events[i].id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 1 : 0, events[i].line_seqno};
    }
    return count;
}
