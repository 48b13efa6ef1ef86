#include "cables/parallel/service_manager.hpp"

namespace oscset::parallel {
namespace {

ServiceManager* installed = nullptr;

}  // namespace

void set_service_manager(ServiceManager* manager) {
    installed = manager;
}

ServiceManager* service_manager() {
    return installed;
}

}  // namespace oscset::parallel
