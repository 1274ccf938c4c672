#include "platform/sysext/SystemdExtensionHost.hpp"

#include <systemd/sd-bus.h>
#include <time.h>

#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"

namespace platform {
namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kInteractionRequired = "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired";
// The user may take a while to answer the polkit agent.
constexpr std::uint64_t kInteractiveTimeoutMicroseconds = 10ull * 60 * 1000 * 1000;

const SystemLog& hostLog() {
    static NoDestructor<SystemLog> log("com.kiv.veltrix", "SystemExtensions");
    return *log;
}

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

struct CallResult {
    bool ok = false;
    std::string errorName;
    std::string errorMessage;
};

// One method call of the manager: its member and how its arguments are appended.
struct Step {
    std::string member;
    std::function<int(sd_bus_message*)> append;
};

struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

}  // namespace

struct SystemdExtensionHost::Bus final : Reactor::Handler, std::enable_shared_from_this<Bus> {
    struct Pending {
        Bus* bus = nullptr;
        std::uint64_t id = 0;
        sd_bus_slot* slot = nullptr;
        std::function<void(CallResult)> done;
        ~Pending() { sd_bus_slot_unref(slot); }
    };

    explicit Bus(std::optional<std::string> address) : address(std::move(address)) {}

    // Any thread: the call goes out on the reactor thread; `done` runs there.
    void call(Step step, bool interactive, std::function<void(CallResult)> done) {
        Reactor::instance().post(
            [self = shared_from_this(), step = std::move(step), interactive,
             done = std::move(done)]() mutable { self->callOnReactor(step, interactive, std::move(done)); });
    }

    void shutdown() {
        Reactor::instance().post([self = shared_from_this()] { self->close(); });
    }

    void onEvents(std::uint64_t, std::uint32_t) override { process(); }

private:
    std::string open() {
        if (bus) return {};
        sd_bus* made = nullptr;
        int r = 0;
        if (address) {
            r = sd_bus_new(&made);
            if (r >= 0) r = sd_bus_set_address(made, address->c_str());
            if (r >= 0) r = sd_bus_set_bus_client(made, 1);
            if (r >= 0) r = sd_bus_start(made);
        } else {
            r = sd_bus_open_system(&made);
        }
        if (r < 0) {
            sd_bus_unref(made);
            return std::string("cannot connect to the system bus: ") + std::strerror(-r);
        }
        bus.reset(made);
        fd = sd_bus_get_fd(made);
        token = Reactor::instance().add(fd, static_cast<std::uint32_t>(sd_bus_get_events(made)),
                                        shared_from_this());
        if (token == 0) {
            std::string failure = std::string("cannot watch the bus: ") + std::strerror(errno);
            bus.reset();
            return failure;
        }
        return {};
    }

    void close() {
        if (token) Reactor::instance().remove(token, fd);
        token = 0;
        auto failed = std::move(pending);
        pending.clear();
        bus.reset();
        for (auto& [id, call] : failed) {
            if (call->done)
                call->done(CallResult{false, "org.freedesktop.DBus.Error.Disconnected", "The bus went away"});
        }
    }

    void callOnReactor(const Step& step, bool interactive, std::function<void(CallResult)> done) {
        if (const std::string failure = open(); !failure.empty()) {
            done(CallResult{false, "org.freedesktop.DBus.Error.NoServer", failure});
            return;
        }
        sd_bus_message* message = nullptr;
        int r = sd_bus_message_new_method_call(bus.get(), &message, kDestination, kPath, kManager,
                                               step.member.c_str());
        if (r >= 0 && step.append) r = step.append(message);
        if (r >= 0) r = sd_bus_message_set_allow_interactive_authorization(message, interactive ? 1 : 0);
        auto call = std::make_unique<Pending>();
        call->bus = this;
        call->id = ++nextId;
        call->done = std::move(done);
        if (r >= 0) {
            r = sd_bus_call_async(bus.get(), &call->slot, message, &Bus::onReply, call.get(),
                                  interactive ? kInteractiveTimeoutMicroseconds : 0);
        }
        sd_bus_message_unref(message);
        if (r < 0) {
            call->done(CallResult{false, "org.freedesktop.DBus.Error.Failed",
                                  step.member + ": " + std::strerror(-r)});
            return;
        }
        pending.emplace(call->id, std::move(call));
        process();
    }

    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* call = static_cast<Pending*>(userdata);
        auto node = call->bus->pending.extract(call->id);
        CallResult result;
        if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
            result.errorName = error->name ? error->name : "";
            result.errorMessage = error->message ? error->message : "";
        } else {
            result.ok = true;
        }
        if (call->done) call->done(std::move(result));
        return 1;
    }

    void process() {
        if (!bus) return;
        int r = 0;
        while ((r = sd_bus_process(bus.get(), nullptr)) > 0) {
        }
        if (r < 0) {
            hostLog().error(std::string("The system bus connection failed: ") + std::strerror(-r));
            close();
            return;
        }
        Reactor::instance().modify(token, fd, static_cast<std::uint32_t>(sd_bus_get_events(bus.get())));
        std::uint64_t until = std::numeric_limits<std::uint64_t>::max();
        if (sd_bus_get_timeout(bus.get(), &until) < 0 || until >= armedDeadline) return;
        armedDeadline = until;
        const std::uint64_t now = monotonicMicroseconds();
        const auto delay = std::chrono::microseconds(until > now ? until - now : 0);
        std::weak_ptr<Bus> weak = weak_from_this();
        globalQueue()->asyncAfter(delay, [weak] {
            Reactor::instance().post([weak] {
                if (auto self = weak.lock()) {
                    self->armedDeadline = std::numeric_limits<std::uint64_t>::max();
                    self->process();
                }
            });
        });
    }

    const std::optional<std::string> address;
    // Reactor thread only. The calls go before the bus: their slots belong to it.
    std::unique_ptr<sd_bus, BusClose> bus;
    std::map<std::uint64_t, std::unique_ptr<Pending>> pending;
    std::uint64_t nextId = 0;
    std::uint64_t token = 0;
    int fd = -1;
    std::uint64_t armedDeadline = std::numeric_limits<std::uint64_t>::max();
};

namespace {

ErrorObject toExtensionError(const CallResult& result) {
    const std::string text = result.errorName + ": " + result.errorMessage;
    if (result.errorName == "org.freedesktop.DBus.Error.AccessDenied" ||
        result.errorName == kInteractionRequired) {
        return makeSystemExtensionError(OSSystemExtensionError::authorizationRequired, text);
    }
    if (result.errorName == "org.freedesktop.systemd1.NoSuchUnit" ||
        result.errorName == "org.freedesktop.DBus.Error.FileNotFound") {
        return makeSystemExtensionError(OSSystemExtensionError::extensionNotFound, text);
    }
    return makeSystemExtensionError(OSSystemExtensionError::unknown, text);
}

// Runs `steps` in order on `bus`; the first that needs interaction is told once and sent again
// interactively (as is every later step).
class Chain : public std::enable_shared_from_this<Chain> {
public:
    Chain(std::shared_ptr<SystemdExtensionHost::Bus> bus, std::vector<Step> steps,
          std::shared_ptr<RequestReport> report)
        : bus_(std::move(bus)), steps_(std::move(steps)), report_(std::move(report)) {}

    void next() {
        if (index_ == steps_.size()) {
            report_->finished(OSSystemExtensionRequestResult::completed);
            return;
        }
        bus_->call(steps_[index_], interactive_,
                   [self = shared_from_this()](const CallResult& result) { self->answered(result); });
    }

private:
    void answered(const CallResult& result) {
        if (result.ok) {
            ++index_;
            next();
            return;
        }
        if (result.errorName == kInteractionRequired && !interactive_) {
            interactive_ = true;
            report_->needsUserApproval();
            next();
            return;
        }
        report_->failed(toExtensionError(result));
    }

    std::shared_ptr<SystemdExtensionHost::Bus> bus_;
    std::vector<Step> steps_;
    std::shared_ptr<RequestReport> report_;
    std::size_t index_ = 0;
    bool interactive_ = false;
};

Step unitFiles(const char* member, const std::string& unit, bool enable) {
    return Step{member, [unit, enable](sd_bus_message* m) {
                    int r = sd_bus_message_append_strv(
                        m, std::vector<char*>{const_cast<char*>(unit.c_str()), nullptr}.data());
                    if (r < 0) return r;
                    // runtime false; EnableUnitFiles also takes force true.
                    return enable ? sd_bus_message_append(m, "bb", 0, 1) : sd_bus_message_append(m, "b", 0);
                }};
}

Step unitJob(const char* member, const std::string& unit) {
    return Step{member, [unit](sd_bus_message* m) {
                    return sd_bus_message_append(m, "ss", unit.c_str(), "replace");
                }};
}

}  // namespace

SystemdExtensionHost::SystemdExtensionHost(Options options)
    : options_(std::move(options)), bus_(std::make_shared<Bus>(options_.busAddress)) {}

SystemdExtensionHost::~SystemdExtensionHost() { bus_->shutdown(); }

void SystemdExtensionHost::activate(std::shared_ptr<RequestReport> report) {
    const std::string& unit = options_.unitName;
    std::vector<Step> steps{unitFiles("EnableUnitFiles", unit, true), Step{"Reload", {}},
                            unitJob("StartUnit", unit)};
    std::make_shared<Chain>(bus_, std::move(steps), std::move(report))->next();
}

void SystemdExtensionHost::deactivate(std::shared_ptr<RequestReport> report) {
    const std::string& unit = options_.unitName;
    std::vector<Step> steps{unitJob("StopUnit", unit), unitFiles("DisableUnitFiles", unit, false),
                            Step{"Reload", {}}};
    std::make_shared<Chain>(bus_, std::move(steps), std::move(report))->next();
}

}  // namespace platform
