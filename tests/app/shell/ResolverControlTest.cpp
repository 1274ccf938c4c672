// The resolver-control holders: what a manager is made with.
#include <gtest/gtest.h>

#include "app/shell/ResolverControl.hpp"
#include "fakes/TestFolders.hpp"

namespace kiv {
namespace {

TEST(ResolverControlTest, AManagerHoldsOneHelperClientAndTheBundledPaths) {
    fakes::TemporaryFolder folder;
    int made = 0;
    UnboundControlManager manager([&] {
        ++made;
        return std::make_shared<KIVHelperProxy>(helper::RightsDatabase(folder.path() / "rights.json"));
    });
    EXPECT_EQ(made, 1);
    ASSERT_TRUE(manager.kivhelperProxy);
    EXPECT_EQ(manager.unbound.unboundPath, "/Applications/BrannockCloud.app/Contents/MacOS/unbound-control");
    EXPECT_EQ(manager.unbound.unboundConfigPath,
              "/Applications/BrannockCloud.app/Contents/Resources/unbound.conf");
    EXPECT_FALSE(manager.config);
    // A copy shares the client rather than making another.
    const UnboundControlManager copy = manager;
    EXPECT_EQ(copy.kivhelperProxy, manager.kivhelperProxy);
    EXPECT_EQ(made, 1);
}

TEST(ResolverControlTest, RegistryRecordsAreGlobal) {
    for (const auto& service : {unboundControlManagerService(), unboundUtilsService()}) {
        EXPECT_EQ(service.cycle, Service::LifeCycle::global);
        EXPECT_FALSE(service.instance);
    }
    EXPECT_EQ(unboundControlManagerService().name, std::type_index(typeid(UnboundControlManager)));
    Dependencies registry(unboundUtilsService());
    EXPECT_EQ(registry.resolve<UnboundUtils>(), registry.resolve<UnboundUtils>());
}

}  // namespace
}  // namespace kiv
