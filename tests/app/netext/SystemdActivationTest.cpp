// Activation through systemd over a private bus: a dbus-daemon of the test's own with
// python-dbusmock's systemd template, whose unit-file calls play polkit's answers (granted,
// denied, or interaction required and then granted or denied).
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include "ManagerTestSupport.hpp"
#include "fakes/Process.hpp"
#include "platform/sysext/SystemdExtensionHost.hpp"

namespace kiv {
namespace {

using namespace netexttest;
using Status = ExtensionStatus;

constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";
constexpr const char* kNeedsInteraction =
    "raise dbus.exceptions.DBusException('interaction required', "
    "name='org.freedesktop.DBus.Error.InteractiveAuthorizationRequired')\n";
constexpr const char* kDenied =
    "raise dbus.exceptions.DBusException('not authorized', name='org.freedesktop.DBus.Error.AccessDenied')\n";

struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

// A private bus with systemd's stand-in on it; the test's own connection configures it.
class MockSystemd {
public:
    explicit MockSystemd(const std::filesystem::path& folder) {
        daemon_ = std::make_unique<fakes::Process>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1",
                                     "--address=unix:path=" + (folder / "bus").string()},
            std::vector<std::string>{}, (folder / "dbus-daemon.err").string());
        address_ = daemon_->readLine().value_or("");
        if (address_.empty()) return;
        mock_ = std::make_unique<fakes::Process>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--template", "systemd"},
            std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address_,
                                     "DBUS_SESSION_BUS_ADDRESS=" + address_},
            (folder / "dbusmock.err").string());
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) return;
        bus_.reset(bus);
        sd_bus_set_address(bus, address_.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (sd_bus_start(bus) < 0) bus_.reset();
    }
    ~MockSystemd() {
        bus_.reset();
        mock_.reset();
        daemon_.reset();
    }

    const std::string& address() const { return address_; }

    // Waits (on the bus, at most 10 s) for the mock to own its name.
    bool ready() {
        if (!bus_) return false;
        sd_bus_slot* slot = nullptr;
        sd_bus_match_signal(bus_.get(), &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameOwnerChanged", nullptr, nullptr);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool owned = false;
        while (!owned && std::chrono::steady_clock::now() < deadline) {
            sd_bus_message* reply = nullptr;
            int has = 0;
            if (sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                                   "org.freedesktop.systemd1") >= 0 &&
                sd_bus_message_read(reply, "b", &has) >= 0 && has) {
                owned = true;
            }
            sd_bus_message_unref(reply);
            if (!owned) {
                while (sd_bus_process(bus_.get(), nullptr) > 0) {
                }
                sd_bus_wait(bus_.get(), 200'000);  // wakes on NameOwnerChanged
            }
        }
        sd_bus_slot_unref(slot);
        return owned && mockCall("AddMockUnit", "s", "kivdnsproxy.service");
    }

    // Adds (or replaces) a method of systemd's manager interface.
    bool addMethod(const char* name, const char* in, const char* out, const std::string& code) {
        return mockCall("AddMethod", "sssss", kManagerInterface, name, in, out, code.c_str());
    }

    // The manager methods called so far, in order.
    std::vector<std::string> calls() {
        std::vector<std::string> names;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus_.get(), "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                               kMockInterface, "GetCalls", nullptr, &reply, "") < 0)
            return names;
        if (sd_bus_message_enter_container(reply, 'a', "(tsav)") >= 0) {
            while (sd_bus_message_enter_container(reply, 'r', "tsav") > 0) {
                std::uint64_t time = 0;
                const char* method = nullptr;
                sd_bus_message_read(reply, "ts", &time, &method);
                // The mock's own set-up calls are logged too.
                if (method && std::string_view(method) != "AddMockUnit") names.emplace_back(method);
                sd_bus_message_skip(reply, "av");
                sd_bus_message_exit_container(reply);
            }
        }
        sd_bus_message_unref(reply);
        return names;
    }

private:
    template <class... Args>
    bool mockCall(const char* member, const char* signature, Args... args) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r = sd_bus_call_method(bus_.get(), "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                         kMockInterface, member, &error, nullptr, signature, args...);
        if (r < 0) ADD_FAILURE() << member << ": " << (error.message ? error.message : "failed");
        sd_bus_error_free(&error);
        return r >= 0;
    }

    std::unique_ptr<fakes::Process> daemon_;
    std::unique_ptr<fakes::Process> mock_;
    std::string address_;
    std::unique_ptr<sd_bus, BusClose> bus_;
};

struct PolkitCase {
    const char* name;
    std::string enableCode;  // the unit-file call's body: polkit's answers
    ExtensionStatusSet state;
    std::vector<std::string> posts;
    std::vector<std::string> calls;
};

class SystemdActivationTest : public ManagerEnvironment, public ::testing::WithParamInterface<PolkitCase> {
protected:
    void SetUp() override {
        ManagerEnvironment::SetUp();
        if (!std::filesystem::exists("/usr/bin/dbus-daemon")) GTEST_SKIP() << "no dbus-daemon";
        mock_ = std::make_unique<MockSystemd>(folder_.path());
        ASSERT_TRUE(mock_->ready()) << "the systemd mock did not come up";
        ASSERT_TRUE(mock_->addMethod("DisableUnitFiles", "asb", "a(sss)", "ret = []"));
        ASSERT_TRUE(mock_->addMethod("Reload", "", "", ""));
    }
    void TearDown() override {
        manager_.reset();
        mock_.reset();
        ManagerEnvironment::TearDown();
    }
    std::shared_ptr<RecordingManager> makeSystemdManager() {
        platform::SystemdExtensionHost::Options o;
        o.busAddress = mock_->address();
        manager_ = makeManager(std::make_shared<platform::SystemdExtensionHost>(o));
        return manager_;
    }

    std::unique_ptr<MockSystemd> mock_;
    std::shared_ptr<RecordingManager> manager_;
};

TEST_P(SystemdActivationTest, PolkitsAnswerDecidesTheActivation) {
    const auto& c = GetParam();
    ASSERT_TRUE(mock_->addMethod("EnableUnitFiles", "asbb", "ba(sss)", c.enableCode));
    auto manager = makeSystemdManager();
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() != ExtensionStatusSet{Status::notStarted}; }));
    drainMainQueue();
    ASSERT_TRUE(turnUntil([&] { return posts().size() >= c.posts.size(); }));
    EXPECT_EQ(manager->extensionState(), c.state);
    EXPECT_EQ(posts(), c.posts);
    EXPECT_EQ(mock_->calls(), c.calls);
}

const std::string kFirstCallOnly =
    "self.kiv_calls = getattr(self, 'kiv_calls', 0) + 1\nif self.kiv_calls == 1:\n    ";

INSTANTIATE_TEST_SUITE_P(
    Answers, SystemdActivationTest,
    ::testing::Values(PolkitCase{"Granted",
                                 "ret = (False, [])\n",
                                 {Status::userAccepted},
                                 {"deviceConfigRefreshed@0"},
                                 {"EnableUnitFiles", "Reload", "StartUnit"}},
                      PolkitCase{"Denied", kDenied, {Status::failedToInstall}, {}, {"EnableUnitFiles"}},
                      PolkitCase{"ApprovedAfterAsking",
                                 kFirstCallOnly + kNeedsInteraction + "ret = (False, [])\n",
                                 {Status::userAccepted},
                                 {"waitingOnUserSecurity@0", "deviceConfigRefreshed@0"},
                                 {"EnableUnitFiles", "EnableUnitFiles", "Reload", "StartUnit"}},
                      PolkitCase{"DeniedAfterAsking",
                                 kFirstCallOnly + kNeedsInteraction + kDenied,
                                 {Status::failedToInstall},
                                 {"waitingOnUserSecurity@0"},
                                 {"EnableUnitFiles", "EnableUnitFiles"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SystemdActivationTest, DeactivationStopsAndDisablesTheUnit) {
    ASSERT_TRUE(mock_->addMethod("EnableUnitFiles", "asbb", "ba(sss)", "ret = (False, [])\n"));
    auto manager = makeSystemdManager();
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() == ExtensionStatusSet{Status::userAccepted}; }));
    std::optional<std::optional<std::string>> outcome;
    manager->deactivate([&](const std::optional<std::string>& error) { outcome = error; });
    ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(*outcome, std::nullopt);
    EXPECT_EQ(mock_->calls(), (std::vector<std::string>{"EnableUnitFiles", "Reload", "StartUnit", "StopUnit",
                                                        "DisableUnitFiles", "Reload"}));
}

TEST_F(SystemdActivationTest, UnknownUnitFailsAsAMissingExtension) {
    ASSERT_TRUE(mock_->addMethod(
        "EnableUnitFiles", "asbb", "ba(sss)",
        "raise dbus.exceptions.DBusException('no unit', name='org.freedesktop.DBus.Error.FileNotFound')\n"));
    auto manager = makeSystemdManager();
    std::optional<std::optional<std::string>> outcome;
    manager->deactivate([&](const std::optional<std::string>& error) { outcome = error; });
    ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(*outcome, std::nullopt) << "stopping and disabling a unit the mock knows";
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() == ExtensionStatusSet{Status::failedToInstall}; }));
}

}  // namespace
}  // namespace kiv
