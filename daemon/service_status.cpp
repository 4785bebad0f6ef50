#include "daemon/service_status.h"

#include "platform/main_loop.h"

void ServiceStatus::update(std::string& field, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (field == text) return;
  field = text;
  ce::notifyServiceManager(("STATUS=" + port_ + "; " + power_).c_str());
}
