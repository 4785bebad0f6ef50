// Sends the service manager one STATUS= line whenever the port's or the
// power's words change; the two come from different threads.
#include "daemon/service_status.h"

#include "platform/notify.h"

void ServiceStatus::update(std::string& field, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (field == text) return;
  field = text;
  ce::notifyServiceManager(("STATUS=" + port_ + "; " + power_).c_str());
}
