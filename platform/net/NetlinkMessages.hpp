#pragma once
// Reading rtnetlink dump answers into a NetworkSnapshot: links, addresses and default routes.
// Every header and attribute is checked against the bytes left before any field of it is read;
// a message too short for its fixed part is skipped, an attribute too short for its value is
// left unset. The snapshot reader is the caller; tests feed hand-made (and broken) buffers.
#include <cstddef>
#include <cstdint>

#include "platform/net/NetworkSnapshot.hpp"

namespace platform {

struct NetlinkBatch {
    bool finished = false;     // NLMSG_DONE or an error ended the dump
    bool interrupted = false;  // the kernel saw the state change during the dump
    int error = 0;             // errno of an NLMSG_ERROR answer; 0 when none
};

// `bytes` holds one received datagram, aligned for nlmsghdr. Messages of other sequences are
// passed over.
NetlinkBatch parseNetlinkMessages(const void* bytes, std::size_t size, std::uint32_t sequence,
                                  NetworkSnapshot& snapshot);

}  // namespace platform
