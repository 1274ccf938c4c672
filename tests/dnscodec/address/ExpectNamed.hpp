#pragma once
// Runs `action` and checks that it throws NamedException with the given name and reason.
#include <gtest/gtest.h>

#include <string>

#include "dnscodec/address/NamedException.hpp"

template <typename Action>
::testing::AssertionResult throwsNamed(Action&& action, const std::string& name, const std::string& reason) {
    try {
        action();
    } catch (const dnscodec::NamedException& e) {
        if (e.name() == name && e.reason() == reason) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw " << e.name() << " / " << e.reason();
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw another exception: " << e.what();
    }
    return ::testing::AssertionFailure() << "did not throw";
}
