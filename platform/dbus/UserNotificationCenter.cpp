#include "platform/dbus/UserNotificationCenter.hpp"

#include "platform/NoDestructor.hpp"

namespace platform::dbus {
namespace {

constexpr const char* kPath = "/org/freedesktop/Notifications";

MessagePtr newServiceCall(const BusConnectionPtr& connection, const char* member) {
    if (!connection || !connection->isConnected()) return nullptr;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(connection->bus(), &raw, UserNotificationCenter::kServiceName, kPath,
                                       UserNotificationCenter::kServiceName, member) < 0) {
        return nullptr;
    }
    return MessagePtr(raw);
}

std::string errorOf(sd_bus_message* reply) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (error && error->message) return error->message;
    if (error && error->name) return error->name;
    return "the notification service failed";
}

}  // namespace

std::shared_ptr<UserNotificationCenter> UserNotificationCenter::current() {
    static NoDestructor<std::shared_ptr<UserNotificationCenter>> center(
        std::make_shared<UserNotificationCenter>(sessionBus(), "BrannockCloud", "corvel_icon"));
    return *center;
}

UserNotificationCenter::UserNotificationCenter(BusConnectionPtr connection, std::string applicationName,
                                               std::string iconName)
    : connection_(std::move(connection)),
      applicationName_(std::move(applicationName)),
      iconName_(std::move(iconName)) {}

void UserNotificationCenter::getNotificationSettings(
    const std::function<void(NotificationSettings)>& completion) {
    auto call = newServiceCall(connection_, "GetServerInformation");
    if (!call || !connection_->callAsync(call.get(), [completion](sd_bus_message* reply) {
            completion({sd_bus_message_is_method_error(reply, nullptr) ? AuthorizationStatus::denied
                                                                       : AuthorizationStatus::authorized});
        })) {
        mainQueue()->async([completion] { completion({AuthorizationStatus::denied}); });
    }
}

void UserNotificationCenter::requestAuthorization(
    unsigned, const std::function<void(bool granted, std::optional<std::string> error)>& completion) {
    auto call = newServiceCall(connection_, "GetServerInformation");
    if (!call || !connection_->callAsync(call.get(), [completion](sd_bus_message* reply) {
            if (sd_bus_message_is_method_error(reply, nullptr)) {
                completion(false, errorOf(reply));
            } else {
                completion(true, std::nullopt);
            }
        })) {
        mainQueue()->async([completion] { completion(false, std::string("no session bus")); });
    }
}

void UserNotificationCenter::add(NotificationRequest request,
                                 std::function<void(std::optional<std::string>)> completion) {
    const std::uint64_t generation = ++nextGeneration_;
    pendingGeneration_[request.identifier] = generation;
    const auto queue = connection_ ? connection_->queue() : mainQueue();
    const auto interval = request.triggerInterval;
    auto due = [weak = weak_from_this(), generation, request = std::move(request),
                completion = std::move(completion)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        auto it = self->pendingGeneration_.find(request.identifier);
        if (it == self->pendingGeneration_.end() || it->second != generation) {
            if (completion) completion(std::nullopt);  // a later request took its place
            return;
        }
        self->pendingGeneration_.erase(it);
        self->deliver(request, completion);
    };
    if (interval.count() <= 0) {
        queue->async(std::move(due));
    } else {
        queue->asyncAfter(interval, std::move(due));
    }
}

void UserNotificationCenter::deliver(const NotificationRequest& request,
                                     const std::function<void(std::optional<std::string>)>& completion) {
    const auto& content = request.content;
    const std::string body = content.subtitle.empty() ? content.body
                             : content.body.empty()   ? content.subtitle
                                                      : content.subtitle + "\n" + content.body;
    std::uint32_t replaces = 0;
    if (auto it = deliveredIds_.find(request.identifier); it != deliveredIds_.end()) replaces = it->second;

    auto call = newServiceCall(connection_, "Notify");
    int r = call ? sd_bus_message_append(call.get(), "susss", applicationName_.c_str(), replaces,
                                         iconName_.c_str(), content.title.c_str(), body.c_str())
                 : -1;
    if (r >= 0) r = sd_bus_message_append(call.get(), "as", 0);
    if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_close_container(call.get());
    if (r >= 0) r = sd_bus_message_append(call.get(), "i", std::int32_t(-1));
    auto onReply = [weak = weak_from_this(), identifier = request.identifier,
                    completion](sd_bus_message* reply) {
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            if (completion) completion(errorOf(reply));
            return;
        }
        std::uint32_t id = 0;
        if (sd_bus_message_read(reply, "u", &id) < 0) {
            if (completion) completion(std::string("the notification service answered with no id"));
            return;
        }
        if (auto self = weak.lock()) self->deliveredIds_[identifier] = id;
        if (completion) completion(std::nullopt);
    };
    if (r < 0 || !connection_->callAsync(call.get(), std::move(onReply))) {
        if (completion) completion(std::string("no notification service"));
    }
}

std::optional<std::uint32_t> UserNotificationCenter::deliveredId(const std::string& identifier) const {
    auto it = deliveredIds_.find(identifier);
    if (it == deliveredIds_.end()) return std::nullopt;
    return it->second;
}

}  // namespace platform::dbus
