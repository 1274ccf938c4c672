#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>

#include "fakes/ne/IoRunner.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/ne/IoLoop.hpp"
#include "platform/ne/NWUDPConnection.hpp"
#include "platform/ne/UDPListenerLinux.hpp"
#include "platform/ne/UringLoop.hpp"

namespace {

using platform::ne::UDPListener;
using platform::ne::UringLoop;

// Bytes of the ring's provided buffers resident now, by buffer.
std::vector<std::size_t> residentBufferBytes(const UringLoop& loop) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto span = loop.buffers();
    const auto first = reinterpret_cast<std::uintptr_t>(span.data()) / page * page;
    const auto end = reinterpret_cast<std::uintptr_t>(span.data() + span.size());
    std::vector<unsigned char> pages((end - first + page - 1) / page);
    if (::mincore(reinterpret_cast<void*>(first), end - first, pages.data()) != 0) return {};
    std::vector<std::size_t> bytes(UringLoop::kBufferCount);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (!(pages[i] & 1)) continue;
        const std::uintptr_t at =
            std::max<std::uintptr_t>(first + i * page, reinterpret_cast<std::uintptr_t>(span.data()));
        const std::size_t index =
            (at - reinterpret_cast<std::uintptr_t>(span.data())) / UringLoop::kBufferSize;
        if (index < bytes.size()) bytes[index] += page;
    }
    return bytes;
}

// Sets KIV_NE_IO_URING for one case and puts back what was there.
class RingSetting {
public:
    explicit RingSetting(const char* value) {
        if (const char* old = std::getenv("KIV_NE_IO_URING")) old_ = old;
        ::setenv("KIV_NE_IO_URING", value, 1);
    }
    ~RingSetting() {
        if (old_) {
            ::setenv("KIV_NE_IO_URING", old_->c_str(), 1);
        } else {
            ::unsetenv("KIV_NE_IO_URING");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(UringLoop, AskedForEpollKeepsTheEpollPath) {
    const RingSetting off("0");
    asio::io_context io;
    EXPECT_NE(UringLoop::enable(io).find("KIV_NE_IO_URING=0"), std::string::npos);
    EXPECT_EQ(UringLoop::of(io), nullptr);
    // Its listeners read as before.
    UDPListener listener(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 8);
    EXPECT_FALSE(listener.onRing());
}

class UringListener : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UringLoop::wanted()) GTEST_SKIP() << "the epoll run of this program";
        if (const auto why = UringLoop::enable(io); !why.empty()) GTEST_SKIP() << why;
    }
    asio::io_context io;
};

// `count` upstream associations on the ring of `io`, each with its query sent to `server` and
// its reply awaited; `ports` are the queries' source ports, as the server saw them.
struct Upstream {
    Upstream(asio::io_context& io, fakes::LoopbackSocket& server, std::size_t count) {
        const auto queue = platform::ne::makeQueue(io);
        for (std::size_t i = 0; i < count; ++i) {
            auto connection = platform::ne::NWUDPConnection::make("127.0.0.1", server.port());
            connection->start(queue);
            connection->send({1}, platform::ne::ContentContext::finalMessage, true, [](auto) {});
            connection->receiveMessage([this](std::optional<platform::ne::Datagram> reply, auto, bool, auto) {
                if (reply) ++replies;
            });
            connections.push_back(std::move(connection));
        }
        while (ports.size() < count) {
            fakes::drain(io);
            const auto query = server.receive(2000);
            if (!query) return;
            ports.push_back(query->fromPort);
        }
    }
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;
    void cancel() {
        for (auto& connection : connections) connection->cancel();
    }

    std::vector<std::shared_ptr<platform::ne::NWUDPConnection>> connections;
    std::vector<std::uint16_t> ports;
    std::size_t replies = 0;
};

// Datagrams one at a time touch only the few buffers the kernel is offered at once,
// so each copy finds its buffer warm. Then more datagrams at once than the ring has
// buffers: the receive runs dry, the offer widens, the receive is armed again as the
// buffers come back, and every datagram arrives whole, the largest a UDP datagram can
// be among them; a quiet spell after narrows the offer again. The pages the large ones
// filled go back to the system with their buffers: only the head of each stays.
TEST_F(UringListener, ABurstBeyondTheProvidedBuffersArrivesWhole) {
    auto listener = std::make_shared<UDPListener>(
        io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 32);
    ASSERT_TRUE(listener->onRing());
    const auto& loop = *UringLoop::of(io);
    fakes::LoopbackSocket client;
    std::map<std::size_t, std::size_t> sizes;  // index -> size
    std::size_t truncated = 0;
    std::function<void(const asio::error_code&)> onReadable = [&](const asio::error_code& ec) {
        if (ec) return;
        for (;;) {
            auto& received = listener->receive(truncated);
            if (received.empty()) break;
            for (const auto& item : received) {
                ASSERT_GE(item.data.size(), 3u);
                const std::size_t index = (std::size_t(item.data[0]) << 8) | item.data[1];
                EXPECT_EQ(item.data[2], static_cast<std::uint8_t>(index));
                EXPECT_EQ(item.source.port(), client.port());
                sizes[index] = item.data.size();
            }
        }
        listener->waitReadable(onReadable);
    };
    listener->waitReadable(onReadable);
    std::size_t sent = 0;
    const auto send = [&](std::size_t size) {
        std::vector<std::uint8_t> bytes(size, static_cast<std::uint8_t>(sent));
        bytes[0] = static_cast<std::uint8_t>(sent >> 8);
        bytes[1] = static_cast<std::uint8_t>(sent);
        ++sent;
        client.sendTo("127.0.0.1", listener->boundEndpoint().port(), bytes);
    };
    const auto oneAtATime = [&](std::size_t count, const std::function<std::size_t(std::size_t)>& sizeOf) {
        for (std::size_t i = 0; i < count; ++i) {
            send(sizeOf(sent));
            ASSERT_TRUE(fakes::runUntil(io, [&] { return sizes.size() == sent; })) << "datagram " << sent;
        }
    };
    const auto small = [](std::size_t i) -> std::size_t { return 3 + i % 40; };
    oneAtATime(3 * UringLoop::kBufferCount, small);
    // The offer, and the one being read while its place in the offer is filled.
    EXPECT_EQ(loop.buffersTouched(), UringLoop::kLeastOffered + 1);
    EXPECT_EQ(loop.offerLimit(), UringLoop::kLeastOffered);

    const std::size_t burst = sent;
    for (std::size_t i = 0; i < 3 * UringLoop::kBufferCount; ++i) send(i == 7 ? 65507 : small(sent));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return sizes.size() == sent; })) << sizes.size() << " of " << sent;
    EXPECT_GT(loop.offerLimit(), UringLoop::kLeastOffered);
    EXPECT_EQ(sizes.at(burst + 7), 65507u);
    EXPECT_EQ(sizes.at(burst + 8), small(burst + 8));
    // Then every buffer filled by large datagrams, one after the other, each ending
    // elsewhere in its buffer.
    const std::size_t large = sent;
    const auto largeSize = [&](std::size_t i) -> std::size_t {
        return i == large + 1 ? 65507 : 9000 + (i * 7919) % 56000;
    };
    oneAtATime(3 * UringLoop::kBufferCount, largeSize);
    EXPECT_EQ(sizes.at(large), largeSize(large));
    EXPECT_EQ(sizes.at(large + 1), 65507u);

    oneAtATime(2 * UringLoop::kOfferReview, small);
    EXPECT_EQ(loop.offerLimit(), UringLoop::kLeastOffered);
    EXPECT_EQ(truncated, 0u);
    listener->cancel();
    fakes::drain(io);
    EXPECT_EQ(loop.buffersOut(), 0u);
    std::size_t beyondTheHeads = 0;  // less a page at either end
    for (std::size_t i = large; i < large + 3 * UringLoop::kBufferCount; ++i)
        beyondTheHeads += std::max<std::size_t>(largeSize(i), UringLoop::kResidentBufferBytes + 8192) -
                          (UringLoop::kResidentBufferBytes + 8192);
    EXPECT_GE(loop.counters().bufferBytesReturned, beyondTheHeads);
    const auto resident = residentBufferBytes(loop);
    ASSERT_EQ(resident.size(), UringLoop::kBufferCount);
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (std::size_t i = 0; i < resident.size(); ++i)
        EXPECT_LE(resident[i], UringLoop::kResidentBufferBytes + 2 * page) << "buffer " << i;
}

// The kernel holds a socket while a receive is armed on it: a listener that goes
// gives its port back at once, so that a host can listen there again.
TEST_F(UringListener, AListenerGoneGivesItsPortBack) {
    std::uint16_t port = 0;
    {
        UDPListener listener(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 8);
        ASSERT_TRUE(listener.onRing());
        port = listener.boundEndpoint().port();
        listener.waitReadable([](const asio::error_code&) {});
        fakes::drain(io);  // the receive is armed
    }
    EXPECT_NO_THROW(fakes::LoopbackSocket("127.0.0.1", port));
}

// More replies at once than the listeners' group has buffers, and a query among them:
// the replies take none of those buffers, the query takes one, and every one arrives.
TEST_F(UringListener, AReceiveEndedForWantOfBuffersIsArmedAgain) {
    UDPListener listener(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 8);
    ASSERT_TRUE(listener.onRing());
    std::size_t queries = 0;
    std::function<void(const asio::error_code&)> onReadable = [&](const asio::error_code& ec) {
        if (ec) return;
        std::size_t truncated = 0;
        for (auto* received = &listener.receive(truncated); !received->empty();
             received = &listener.receive(truncated)) {
            queries += received->size();
        }
        listener.waitReadable(onReadable);
    };
    listener.waitReadable(onReadable);

    fakes::LoopbackSocket server;
    const std::size_t count = UringLoop::kBufferCount + 8;
    Upstream upstream(io, server, count);
    ASSERT_EQ(upstream.ports.size(), count);
    const auto& ports = upstream.ports;
    const std::size_t& replies = upstream.replies;
    fakes::drain(io);  // every reply receive and the listener's receive armed
    // The replies take every buffer (each send runs the ring's work on this thread),
    // then the query finds none.
    for (const auto port : ports) server.sendTo("127.0.0.1", port, {2});
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", listener.boundEndpoint().port(), {3});
    EXPECT_TRUE(fakes::runUntil(io, [&] { return queries == 1 && replies == count; }))
        << queries << " queries, " << replies << " replies";
    const auto& loop = *UringLoop::of(io);
    EXPECT_EQ(loop.buffersTouched(), 1u);
    upstream.cancel();
    listener.cancel();
    fakes::drain(io);
    EXPECT_EQ(loop.buffersOut(), 0u);
}

// Replies leave from the address the client asked, as on the epoll path, also for
// a listener on the wildcard address.
TEST_F(UringListener, RepliesLeaveFromTheAddressQueried) {
    UDPListener listener(io, asio::ip::udp::endpoint(asio::ip::make_address("0.0.0.0"), 0), false, 8);
    ASSERT_TRUE(listener.onRing());
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.3", listener.boundEndpoint().port(), {1, 2, 3});
    std::optional<asio::ip::udp::endpoint> local;
    std::optional<asio::ip::udp::endpoint> source;
    listener.waitReadable([&](const asio::error_code&) {
        std::size_t truncated = 0;
        auto& received = listener.receive(truncated);
        if (received.empty()) return;
        local = received.front().local;
        source = received.front().source;
    });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return local.has_value(); }));
    EXPECT_EQ(local->address().to_string(), "127.0.0.3");
    const std::vector<platform::ne::Datagram> replies{{9, 8, 7}};
    const std::vector<const asio::ip::udp::endpoint*> to{&*source};
    EXPECT_EQ(listener.sendFrom(replies, to, *local), 0);
    fakes::drain(io);  // the turn's end, where the ring submits
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, (std::vector<std::uint8_t>{9, 8, 7}));
    EXPECT_EQ(reply->fromAddress, "127.0.0.3");
    listener.cancel();
    fakes::drain(io);
}

// Datagrams sent to `listener` from `client`, each its index in its first two bytes.
void sendNumbered(fakes::LoopbackSocket& client, std::uint16_t port, std::size_t count);
void sendNumbered(fakes::LoopbackSocket& client, const UDPListener& listener, std::size_t count) {
    sendNumbered(client, listener.boundEndpoint().port(), count);
}
void sendNumbered(fakes::LoopbackSocket& client, std::uint16_t port, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        client.sendTo("127.0.0.1", port,
                      {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i), 7});
    }
}

// What becomes of the ring's buffers and of its receive when a listener's reader
// stops reading, for a while or for good; each row a way it may stop.
enum class Stop { pauses, cancels, cancelsThenWaits, goes };

class UringListenerStops : public UringListener, public ::testing::WithParamInterface<Stop> {};

TEST_P(UringListenerStops, TheBuffersComeBackAndOtherWorkOnTheRingGoesOn) {
    auto listener = std::make_shared<UDPListener>(
        io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 8);
    ASSERT_TRUE(listener->onRing());
    auto* loop = UringLoop::of(io);
    fakes::LoopbackSocket client;
    std::set<std::size_t> seen;
    bool aborted = false;
    bool reading = true;
    std::function<void(const asio::error_code&)> onReadable = [&](const asio::error_code& ec) {
        if (ec) {
            aborted = true;
            return;
        }
        std::size_t truncated = 0;
        for (auto& item : listener->receive(truncated)) seen.insert((item.data[0] << 8) | item.data[1]);
        if (reading) listener->waitReadable(onReadable);
    };
    listener->waitReadable(onReadable);
    sendNumbered(client, *listener, 4);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return !seen.empty(); }));
    const auto port = listener->boundEndpoint().port();
    // The reader stops: it does not wait again, or the listener is cancelled, or it
    // goes with its receive armed (the ring's record of it stays until the kernel
    // has reported the receive's end).
    const auto stop = GetParam();
    std::weak_ptr<UDPListener> gone = listener;
    std::optional<fakes::LoopbackSocket> keepsPort;
    if (stop == Stop::pauses) {
        reading = false;  // from the next datagrams on
    } else if (stop == Stop::goes) {
        listener.reset();
        ASSERT_TRUE(gone.expired());
        // Its port is free at once; the flood below lands on a socket of the test's.
        keepsPort.emplace("127.0.0.1", port);
    } else {
        listener->cancel();
        ASSERT_TRUE(fakes::runUntil(io, [&] { return aborted; }));
    }
    // Far more than the ring has buffers arrive meanwhile; replies from upstream,
    // more than the ring has buffers too, still come back on the same ring.
    fakes::LoopbackSocket server;
    const std::size_t count = UringLoop::kBufferCount + 72;
    Upstream upstream(io, server, count);
    ASSERT_EQ(upstream.ports.size(), count);
    const auto& ports = upstream.ports;
    const std::size_t& replies = upstream.replies;
    // (As many as the socket's own buffer holds for certain.)
    const std::size_t flood = UringLoop::kBufferCount + 64;
    sendNumbered(client, port, flood);
    for (const auto port : ports) server.sendTo("127.0.0.1", port, {2});
    EXPECT_TRUE(fakes::runUntil(io, [&] { return replies == count; })) << replies << " of " << count;
    // The stopped listener holds none of the ring's buffers and has no receive armed.
    fakes::drain(io);
    EXPECT_EQ(loop->buffersOut(), 0u);
    EXPECT_EQ(loop->waitingForBuffers(), 0u);
    if (stop == Stop::cancelsThenWaits) {
        // A cancelled listener is not armed again by a later wait: it is told at once.
        aborted = false;
        listener->waitReadable(onReadable);
        ASSERT_TRUE(fakes::runUntil(io, [&] { return aborted; }));
        fakes::drain(io);
        EXPECT_EQ(loop->buffersOut(), 0u);
        EXPECT_EQ(loop->inFlight(), platform::ne::IoLoop::of(io).ownEntries()) << "a receive armed again";
    }
    if (stop == Stop::pauses) {
        // Read again, it gets every datagram: what was copied out and what waited in
        // the socket's own buffer.
        reading = true;
        listener->waitReadable(onReadable);
        EXPECT_TRUE(fakes::runUntil(io, [&] { return seen.size() == flood; })) << seen.size();
        EXPECT_EQ(loop->buffersOut(), 0u) << "a buffer not given back";
        listener->cancel();
    }
    upstream.cancel();
    fakes::drain(io);
    // Once the listener goes too, the ring holds nothing but its own wake-up read:
    // no send, no wait, no socket's return left behind in a slot.
    listener.reset();
    fakes::drain(io);
    EXPECT_EQ(loop->slotsHeld(), platform::ne::IoLoop::of(io).ownEntries());
    EXPECT_EQ(loop->buffersOut(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, UringListenerStops,
                         ::testing::Values(Stop::pauses, Stop::cancels, Stop::cancelsThenWaits, Stop::goes));

// A reply waited for on the ring arrives whole, from none at all to the largest a UDP
// datagram can be, taking none of the listeners' buffers.
struct ReplyRow {
    const char* name;
    std::size_t size;
};

class UringReplies : public UringListener, public ::testing::WithParamInterface<ReplyRow> {};

TEST_P(UringReplies, ArriveWholeAndTheirBuffersGoBack) {
    const auto& row = GetParam();
    auto* loop = UringLoop::of(io);
    fakes::LoopbackSocket server;
    auto connection = platform::ne::NWUDPConnection::make("127.0.0.1", server.port());
    connection->start(platform::ne::makeQueue(io));
    std::optional<platform::ne::Datagram> got;
    std::optional<platform::ne::NWError> failed;
    bool done = false;
    connection->receiveMessage([&](std::optional<platform::ne::Datagram> reply, auto, bool,
                                   std::optional<platform::ne::NWError> error) {
        got = std::move(reply);
        failed = error;
        done = true;
    });
    connection->send({1}, platform::ne::ContentContext::finalMessage, true, [](auto) {});
    fakes::drain(io);  // the read is armed
    std::vector<std::uint8_t> bytes(row.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const auto query = server.receive();
    ASSERT_TRUE(query);
    server.sendTo("127.0.0.1", query->fromPort, bytes);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return done; }));
    EXPECT_FALSE(failed);
    ASSERT_TRUE(got);
    EXPECT_TRUE(*got == bytes) << got->size() << " bytes of " << row.size;
    EXPECT_EQ(loop->buffersTouched(), 0u);
    connection->cancel();
    fakes::drain(io);
    EXPECT_EQ(loop->buffersOut(), 0u);
    EXPECT_EQ(loop->slotsHeld(), platform::ne::IoLoop::of(io).ownEntries());
}

INSTANTIATE_TEST_SUITE_P(Rows, UringReplies,
                         ::testing::Values(ReplyRow{"empty", 0}, ReplyRow{"oneByte", 1},
                                           ReplyRow{"ednsSize", 4096}, ReplyRow{"large", 20000},
                                           ReplyRow{"largest", 65507}),
                         [](const auto& info) { return std::string(info.param.name); });

// A completion whose slot has been freed, or freed and taken again, reaches nobody:
// not the operation that has the slot now.
TEST_F(UringListener, ACompletionForAFreedSlotReachesNobody) {
    auto* loop = UringLoop::of(io);
    fakes::drain(io);  // the loop's own slot taken first
    struct Counted : platform::ne::UringOperation {
        int* calls = nullptr;
    };
    const auto counted = [](int& calls) {
        auto operation = std::make_unique<Counted>();
        operation->calls = &calls;
        operation->complete = [](platform::ne::UringOperation& done, const io_uring_cqe&) {
            ++*static_cast<Counted&>(done).calls;
        };
        return operation;
    };
    int first = 0;
    int second = 0;
    const auto slot = loop->hold(counted(first), false);
    io_uring_prep_nop(loop->entry(slot));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return first == 1; }));
    EXPECT_EQ(loop->find<Counted>(slot), nullptr) << "freed after its last completion";
    const auto again = loop->hold(counted(second), true);
    EXPECT_EQ(again.index, slot.index);
    EXPECT_NE(again.generation, slot.generation);
    const auto dropped = loop->dropped();
    io_uring_prep_nop(loop->entry(slot));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return loop->dropped() == dropped + 1; }));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    // Held, it stays while nothing is in the kernel; let go then, it goes at once.
    EXPECT_NE(loop->find<Counted>(again), nullptr);
    loop->letGo(again);
    EXPECT_EQ(loop->find<Counted>(again), nullptr);
}

// More entries than the submission queue holds, queued in one turn: none is lost,
// none is submitted before the turn's end, and the writer hears once all are sent.
TEST_F(UringListener, MoreEntriesThanTheQueueHoldsInOneTurn) {
    UDPListener listener(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 8);
    ASSERT_TRUE(listener.onRing());
    auto* loop = UringLoop::of(io);
    // Spread over clients whose socket buffers hold their share for certain.
    std::vector<std::unique_ptr<fakes::LoopbackSocket>> clients;
    std::vector<asio::ip::udp::endpoint> addresses;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<fakes::LoopbackSocket>());
        addresses.emplace_back(asio::ip::make_address("127.0.0.1"), clients.back()->port());
    }
    const std::size_t count = 2 * UringLoop::kEntries + 100;
    std::vector<platform::ne::Datagram> replies;
    std::vector<const asio::ip::udp::endpoint*> destinations;
    for (std::size_t i = 0; i < count; ++i) {
        replies.push_back({static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
        destinations.push_back(&addresses[i % addresses.size()]);
    }
    const auto& to = listener.boundEndpoint();
    std::optional<int> sent;
    const auto submitsBefore = loop->counters().submitCalls;
    {
        const UringLoop::Turn turn(*loop);
        listener.sendFrom(replies, destinations, to, [&](int error) { sent = error; });
        EXPECT_EQ(loop->overflowing(), count - UringLoop::kEntries);
        EXPECT_EQ(loop->counters().submitCalls, submitsBefore) << "submitted inside the turn";
    }
    // The loop's next waits take them in, as the queue makes room.
    ASSERT_TRUE(fakes::runUntil(io, [&] { return sent.has_value(); }));
    EXPECT_EQ(loop->overflowing(), 0u);
    EXPECT_EQ(*sent, 0);
    std::set<std::size_t> arrived;
    for (const auto& client : clients) {
        while (const auto reply = client->receiveNow())
            arrived.insert((reply->bytes[0] << 8) | reply->bytes[1]);
    }
    EXPECT_EQ(arrived.size(), count);
    listener.cancel();
    fakes::drain(io);
}

// A burst of large replies leaves no more spare records than the bound, and none
// keeps a large reply's memory.
TEST_F(UringListener, TheSpareRecordsOfSentRepliesAreBounded) {
    UDPListener listener(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 8);
    ASSERT_TRUE(listener.onRing());
    fakes::LoopbackSocket client;
    const asio::ip::udp::endpoint to(asio::ip::make_address("127.0.0.1"), client.port());
    const std::size_t count = 600;
    const std::vector<platform::ne::Datagram> replies(count, platform::ne::Datagram(60000, 1));
    const std::vector<const asio::ip::udp::endpoint*> destinations(count, &to);
    std::optional<int> sent;
    listener.sendFrom(replies, destinations, to, [&](int error) { sent = error; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return sent.has_value(); }));
    const auto [records, bytes] = UDPListener::spareRingSends();
    EXPECT_LE(records, 256u);
    EXPECT_LE(bytes, records * 4096);
    listener.cancel();
    fakes::drain(io);
}

// Waits again without reading, holding its listener as a host's reader does.
struct WaitsWithoutReading {
    std::shared_ptr<UDPListener> listener;
    void operator()(const asio::error_code& ec) const {
        if (!ec) listener->waitReadable(*this);
    }
};

// The io_context ends while listeners on one ring wait for buffers (their readers
// waiting without reading, each holding its listener, as a host's does): the readers
// go, their listeners with them, and nothing of theirs is touched afterwards (the
// sanitizer build checks).
TEST_F(UringListener, ShutdownWithStarvedListenersDropsTheirReaders) {
    std::vector<std::weak_ptr<UDPListener>> gone;
    {
        asio::io_context ringed;
        ASSERT_EQ(UringLoop::enable(ringed), "");
        auto* loop = UringLoop::of(ringed);
        fakes::LoopbackSocket client;
        for (int i = 0; i < 2; ++i) {
            auto listener = std::make_shared<UDPListener>(
                ringed, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0), false, 8);
            ASSERT_TRUE(listener->onRing());
            gone.push_back(listener);
            listener->waitReadable(WaitsWithoutReading{listener});
            sendNumbered(client, *listener, UringLoop::kBufferCount);
        }
        ASSERT_TRUE(fakes::runUntil(ringed, [&] { return loop->waitingForBuffers() >= 1; }));
        EXPECT_FALSE(gone[0].expired());
    }
    // Only the end of the io_context let them go.
    EXPECT_TRUE(gone[0].expired());
    EXPECT_TRUE(gone[1].expired());
}

}  // namespace
