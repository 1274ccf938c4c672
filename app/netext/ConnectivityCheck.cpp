#include "app/netext/ConnectivityCheck.hpp"

namespace kiv {

SanityCheck::SanityCheck() : concurrentQueue(platform::makeConcurrentQueue("SanityCheck.queue")) {}

Service ncsiCheckService() {
    return Service::make<NCSICheck>(Service::LifeCycle::global, [] { return NCSICheck(); });
}

}  // namespace kiv
