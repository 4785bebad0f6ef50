// What the service manager shows an operator at a glance (systemctl status):
// the port's state (set on the serial reader) and the power's (main thread).
#pragma once

#include <mutex>
#include <string>

class ServiceStatus {
 public:
  void setPort(const std::string& text) { update(port_, text); }
  void setPower(const std::string& text) { update(power_, text); }

 private:
  void update(std::string& field, const std::string& text);

  std::mutex mutex_;
  std::string port_ = "waiting for COM7";
  std::string power_ = "on mains";
};
