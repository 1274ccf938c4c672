// Activation and deactivation of the extension as the manager answers them: the delegate's
// callbacks in every order a host reports them, the state set, the status and the posted
// change events.
#include <gtest/gtest.h>

#include "ManagerTestSupport.hpp"

namespace kiv {
namespace {

using namespace netexttest;
using platform::OSSystemExtensionError;
using platform::OSSystemExtensionRequestResult;
using Status = ExtensionStatus;

enum class Answer { approval, finished, willCompleteAfterReboot, unexpected, denied };

struct ActivationCase {
    const char* name;
    std::vector<Answer> answers;
    ExtensionStatusSet state;
    std::string status;
    std::vector<std::string> posts;
};

class ActivationTest : public ManagerEnvironment, public ::testing::WithParamInterface<ActivationCase> {};

TEST_P(ActivationTest, AnswersSetStateStatusAndEvents) {
    const auto& c = GetParam();
    auto host = std::make_shared<ScriptedHost>();
    auto manager = makeManager(host);
    manager->activate();
    ASSERT_EQ(host->reports().size(), 1u);
    auto report = host->last();
    EXPECT_EQ(report->request().action(), platform::OSSystemExtensionRequest::Action::activate);
    EXPECT_EQ(report->request().identifier(), "com.kiv.veltrax.KIVDNSProxy");
    EXPECT_EQ(manager->status(), "Installing\u2026");
    for (Answer answer : c.answers) {
        switch (answer) {
            case Answer::approval:
                report->needsUserApproval();
                break;
            case Answer::finished:
                report->finished(OSSystemExtensionRequestResult::completed);
                break;
            case Answer::willCompleteAfterReboot:
                report->finished(OSSystemExtensionRequestResult::willCompleteAfterReboot);
                break;
            case Answer::unexpected:
                report->finished(static_cast<OSSystemExtensionRequestResult>(7));
                break;
            case Answer::denied:
                report->failed(platform::makeSystemExtensionError(
                    OSSystemExtensionError::authorizationRequired, "denied"));
                break;
        }
        drainMainQueue();
    }
    EXPECT_EQ(manager->extensionState(), c.state);
    EXPECT_EQ(manager->status(), c.status);
    EXPECT_EQ(posts(), c.posts);
}

INSTANTIATE_TEST_SUITE_P(Answers, ActivationTest,
                         ::testing::Values(ActivationCase{"ApprovedLater",
                                                          {Answer::approval, Answer::finished},
                                                          {Status::userAccepted},
                                                          "Install succeeded.",
                                                          {"waitingOnUserSecurity@0",
                                                           "deviceConfigRefreshed@0"}},
                                           ActivationCase{"StillPending",
                                                          {Answer::approval},
                                                          {Status::notStarted},
                                                          "Installing\u2026",
                                                          {"waitingOnUserSecurity@0"}},
                                           ActivationCase{"Denied",
                                                          {Answer::approval, Answer::denied},
                                                          {Status::failedToInstall},
                                                          "Installing\u2026",
                                                          {"waitingOnUserSecurity@0"}},
                                           ActivationCase{"NeedsRestart",
                                                          {Answer::willCompleteAfterReboot},
                                                          {Status::notStarted},
                                                          "Install succeeded but requires restart.",
                                                          {}},
                                           ActivationCase{"UnexpectedResult",
                                                          {Answer::unexpected},
                                                          {Status::notStarted},
                                                          "Install succeeded (with unexpected result).",
                                                          {}},
                                           ActivationCase{"FinishedAtOnce",
                                                          {Answer::finished},
                                                          {Status::userAccepted},
                                                          "Install succeeded.",
                                                          {"deviceConfigRefreshed@0"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ManagerEnvironment, ReplacementIsAlwaysAllowed) {
    auto host = std::make_shared<ScriptedHost>();
    auto manager = makeManager(host);
    manager->activate();
    const std::vector<std::pair<std::string, std::string>> versions{
        {"1", "2"}, {"9", "1"}, {"3", "3"}, {"", ""}};
    for (const auto& [installed, offered] : versions) {
        std::optional<platform::OSSystemExtensionReplacementAction> answer;
        platform::OSSystemExtensionProperties existing{"com.kiv.veltrax.KIVDNSProxy", installed, "", "/a",
                                                       "/a/x"};
        platform::OSSystemExtensionProperties extension{"com.kiv.veltrax.KIVDNSProxy", offered, "", "/b",
                                                        "/b/x"};
        host->last()->askReplacement(existing, extension, [&](auto action) { answer = action; });
        drainMainQueue();
        EXPECT_EQ(answer, platform::OSSystemExtensionReplacementAction::replace)
            << installed << " -> " << offered;
        EXPECT_TRUE(
            logLines().contains("KIVNetExtMgr: Allowing replacement of " + installed + " with " + offered));
    }
}

TEST_F(ManagerEnvironment, DeactivationTakesTheNextReportOnceThenActivationHandlingResumes) {
    auto host = std::make_shared<ScriptedHost>();
    auto manager = makeManager(host);
    std::vector<std::optional<std::string>> outcomes;
    manager->deactivate([&](const std::optional<std::string>& error) { outcomes.push_back(error); });
    drainMainQueue();
    ASSERT_EQ(host->reports().size(), 1u);
    auto deactivation = host->last();
    EXPECT_EQ(deactivation->request().action(), platform::OSSystemExtensionRequest::Action::deactivate);
    EXPECT_EQ(manager->status(), "Uninstalls\u2026");
    // Reported on a global queue, as the system does; the completion still runs on the main queue.
    deactivation->finished(OSSystemExtensionRequestResult::completed);
    ASSERT_TRUE(turnUntil([&] { return !outcomes.empty(); }));
    EXPECT_EQ(outcomes, (std::vector<std::optional<std::string>>{std::nullopt}));
    EXPECT_FALSE(manager->hasPendingDeactivation());
    EXPECT_EQ(manager->extensionState(), ExtensionStatusSet{Status::notStarted});
    EXPECT_TRUE(posts().empty());

    // A second report is an activation's again.
    deactivation->finished(OSSystemExtensionRequestResult::completed);
    ASSERT_TRUE(turnUntil([&] { return !posts().empty(); }));
    EXPECT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(manager->extensionState(), ExtensionStatusSet{Status::userAccepted});
}

TEST_F(ManagerEnvironment, FailedDeactivationHandsItsErrorToTheCompletionOnly) {
    auto host = std::make_shared<ScriptedHost>();
    auto manager = makeManager(host);
    std::vector<std::optional<std::string>> outcomes;
    manager->deactivate([&](const std::optional<std::string>& error) { outcomes.push_back(error); });
    // A newer deactivation replaces the pending completion; the first is never called.
    std::vector<std::optional<std::string>> newer;
    manager->deactivate([&](const std::optional<std::string>& error) { newer.push_back(error); });
    host->last()->failed(
        platform::makeSystemExtensionError(OSSystemExtensionError::extensionNotFound, "gone"));
    ASSERT_TRUE(turnUntil([&] { return !newer.empty(); }));
    drainMainQueue();
    EXPECT_TRUE(outcomes.empty());
    ASSERT_EQ(newer.size(), 1u);
    EXPECT_EQ(newer[0], "gone");
    EXPECT_EQ(manager->extensionState(), ExtensionStatusSet{Status::notStarted});
}

TEST_F(ManagerEnvironment, ExtensionStatusSetPrintsInDeclarationOrder) {
    EXPECT_EQ(describe({Status::notStarted, Status::userAccepted, Status::configured}),
              "[userAccepted, configured, notStarted]");
    EXPECT_EQ(describe({}), "[]");
}

}  // namespace
}  // namespace kiv
