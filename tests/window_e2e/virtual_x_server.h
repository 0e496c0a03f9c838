// A private X server for one test: a virtual framebuffer on a display number no one else uses.
#pragma once

#include <string>

#include "tests/window_e2e/child_process.h"

namespace fractal::e2e {

class VirtualXServer {
 public:
  // Starts the server and returns once a client can connect; throws if it cannot start.
  VirtualXServer();
  ~VirtualXServer();
  VirtualXServer(const VirtualXServer&) = delete;
  VirtualXServer& operator=(const VirtualXServer&) = delete;

  // ":N", for DISPLAY and XOpenDisplay.
  const std::string& DisplayName() const { return display_name_; }

 private:
  ChildProcess server_;
  std::string display_name_;
};

}  // namespace fractal::e2e
