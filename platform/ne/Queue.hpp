#pragma once
// The serial queue of the network stand-ins: an Asio executor whose work runs one
// item at a time in posting order. Either a strand (makeQueue) or the executor of an
// io_context that exactly one thread runs (the provider host's flows use their
// io_context's executor, so a query never changes threads).
#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

namespace platform::ne {

// Serial by construction; see above.
using Queue = asio::any_io_executor;

inline Queue makeQueue(asio::io_context& io) { return asio::make_strand(io.get_executor()); }
inline Queue makeQueue(const asio::any_io_executor& executor) { return asio::make_strand(executor); }

}  // namespace platform::ne
