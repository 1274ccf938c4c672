#pragma once
// The protocol the XPC tests serve, shared by the in-process tests and the peer
// program that serves it from a second process.
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/xpc/XPCConnection.hpp"

namespace xpctest {

using platform::XPCMethod;
using platform::XPCParameter;
using platform::XPCType;

inline platform::XPCInterface testInterface() {
    const XPCParameter text{XPCType::text};
    const XPCParameter integer{XPCType::integer};
    return platform::XPCInterface(
        "TestProtocol",
        {
            XPCMethod{"echoText:withReply:", {text}, std::vector{text}},
            XPCMethod{"echoData:withReply:", {{XPCType::data}}, std::vector<XPCParameter>{{XPCType::data}}},
            XPCMethod{"echoError:withReply:",
                      {{XPCType::error, true}},
                      std::vector<XPCParameter>{{XPCType::error, true}}},
            XPCMethod{
                "echoList:withReply:", {{XPCType::textList}}, std::vector<XPCParameter>{{XPCType::textList}}},
            XPCMethod{"flag:withReply:", {{XPCType::boolean}}, std::vector<XPCParameter>{{XPCType::boolean}}},
            XPCMethod{"add:to:withReply:", {integer, integer}, std::vector{integer}},
            XPCMethod{"note:", {integer}, std::nullopt},
            XPCMethod{"hold:withReply:", {text}, std::vector{text}},
            XPCMethod{"drop:withReply:", {text}, std::vector{text}},
            XPCMethod{"die:withReply:", {text}, std::vector{text}},
            XPCMethod{"invalidateMe:", {integer}, std::nullopt},
            XPCMethod{"throw:", {integer}, std::nullopt},
        });
}

// What a client may call that the server does not export, to test refusals.
inline platform::XPCInterface widerInterface() {
    auto methods = testInterface().methods();
    methods.push_back(XPCMethod{"unknown:", {{XPCType::integer}}, std::nullopt});
    methods.push_back(XPCMethod{"note:withReply:", {{XPCType::integer}}, std::vector<XPCParameter>{}});
    return platform::XPCInterface("TestProtocol", std::move(methods));
}

// Serves testInterface(). Records what arrives; checks that deliveries never overlap.
class TestService final : public platform::XPCExportedObject {
public:
    std::weak_ptr<platform::XPCConnection> connection;  // for invalidateMe:

    void invoke(platform::XPCInvocation inv) override {
        const int now = ++inside_;
        if (now > 1) overlapped_ = true;
        {
            std::lock_guard lock(mutex_);
            threads_.push_back(std::this_thread::get_id());
        }
        handle(inv);
        --inside_;
        {
            std::lock_guard lock(mutex_);
            selectors_.push_back(inv.selector);
        }
        changed_.notify_all();
    }

    std::vector<std::string> selectors() {
        std::lock_guard lock(mutex_);
        return selectors_;
    }
    std::vector<std::int64_t> notes() {
        std::lock_guard lock(mutex_);
        return notes_;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }
    bool overlapped() const { return overlapped_; }
    // Waits until `count` messages were handled; false after 10 seconds.
    bool waitForHandled(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return selectors_.size() >= count; });
    }
    std::vector<platform::XPCReply> takeHeld() {
        std::lock_guard lock(mutex_);
        return std::move(held_);
    }

private:
    void handle(platform::XPCInvocation& inv) {
        const auto& s = inv.selector;
        const auto& args = inv.arguments;
        if (s == "add:to:withReply:") {
            inv.reply({*args[0].integer() + *args[1].integer()});
        } else if (s == "note:") {
            std::lock_guard lock(mutex_);
            notes_.push_back(*args[0].integer());
        } else if (s == "hold:withReply:") {
            std::lock_guard lock(mutex_);
            held_.push_back(inv.reply);
        } else if (s == "drop:withReply:") {
            // the reply block goes away uncalled
        } else if (s == "die:withReply:") {
            ::_exit(3);
        } else if (s == "invalidateMe:") {
            if (auto c = connection.lock()) {
                c->invalidate();
                c->invalidate();
            }
        } else if (s == "throw:") {
            throw std::runtime_error("asked to throw");
        } else {
            inv.reply({args[0]});  // the echo methods
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> selectors_;
    std::vector<std::int64_t> notes_;
    std::vector<std::thread::id> threads_;
    std::vector<platform::XPCReply> held_;
    std::atomic<int> inside_{0};
    std::atomic<bool> overlapped_{false};
};

}  // namespace xpctest
