// The app group's copy of the device configuration: each save replaces the last, and what is
// stored decodes back to the configuration saved.
#include <gtest/gtest.h>

#include "ExtensionTestSupport.hpp"
#include "app/netext/SharedDefaultsManager.hpp"

namespace kiv {
namespace {

using namespace netexttest;

class SharedDefaultsManagerTest : public ExtensionEnvironment {};

TEST_F(SharedDefaultsManagerTest, LastSaveWinsAndDecodesBackEqual) {
    ASSERT_TRUE(SharedDefaultsManager::suite());
    EXPECT_EQ(SharedDefaultsManager::suite()->domain(), "R4NB8TQ2VZ.com.veltrix.DNSProxy.app-group");
    const SharedDefaultsManager defaults;
    const auto first = sampleRecord(true).deviceConfig;
    const auto second = sampleRecord(false).deviceConfig;
    ASSERT_NE(wholeText(first), wholeText(second));
    defaults.save(first);
    EXPECT_EQ(wholeText(SharedDefaultsManager::stored()), wholeText(first));
    defaults.save(second);
    EXPECT_EQ(wholeText(SharedDefaultsManager::stored()), wholeText(second));
    EXPECT_TRUE(defaults.synchronize());
    const auto raw = defaults.value("network_extension_key");
    ASSERT_TRUE(raw && raw->is_string());
    // The encoder's defaults: compact text.
    EXPECT_EQ(raw->get<std::string>().find('\n'), std::string::npos);
    defaults.removeValue("network_extension_key");
    EXPECT_FALSE(SharedDefaultsManager::stored());
}

}  // namespace
}  // namespace kiv
