#pragma once
// A subscription to rtnetlink change groups on the process's reactor. Every batch of change
// messages (all that are waiting when the socket turns readable) becomes one call of `onChange`
// on `queue`. A lost message (ENOBUFS, the socket's buffer overran) counts as a change, since
// whoever listens re-reads the whole state. The socket joins its groups before anyone dumps,
// so no change between the two is missed.
//
// Destroying the watcher removes it from the reactor; a call already handed to the queue may
// still run. Any thread.
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Dispatch.hpp"

namespace platform {

class NetlinkWatcher {
public:
    // `groups`: RTMGRP_* bits. Nothing when the socket cannot be made or registered (errno).
    static std::unique_ptr<NetlinkWatcher> start(std::uint32_t groups, DispatchQueuePtr queue,
                                                 std::function<void()> onChange);
    ~NetlinkWatcher();
    NetlinkWatcher(const NetlinkWatcher&) = delete;
    NetlinkWatcher& operator=(const NetlinkWatcher&) = delete;

    struct Impl;
    class Key {
        friend class NetlinkWatcher;
        Key() = default;
    };
    // Made by start() only.
    NetlinkWatcher(Key, std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
