#pragma once
// Shared fixture of the window and dialog tests: the simulated devices over TCP loopback, a link
// on its own I/O thread, both parameter services (transmitter first, as the program builds them)
// and the firmware update service. The devices start with the parameter lists below.
//
// Derived fixtures build what they test in Wire(), which runs before the I/O thread starts (add
// router callbacks there), and destroy it in Unwire(), which runs once the I/O thread and the
// update service are gone and before the parameter services go.
#include <memory>

#include <gtest/gtest.h>

#include "korvane/packet_comms.h"
#include "kovra/ota.h"
#include "kovra/parameter_service.h"
#include "sim/sim_devices.h"
#include "support/io_link.h"

class DeviceFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Settings of the simulated devices; the default sends no telemetry and no periodic log lines.
  virtual SimConfig Config() const;
  virtual void Wire() {}
  virtual void Unwire() {}

  // Stops the I/O thread and destroys everything the fixture built (TearDown does it too).
  void Shutdown();

  std::unique_ptr<SimDevices> sim_;
  std::unique_ptr<IoLink> link_;
  std::unique_ptr<ParameterService> tx_;
  std::unique_ptr<ParameterService> rx_;
  std::unique_ptr<OtaService> ota_;
  // The sink the window is given.
  std::unique_ptr<PacketSink> window_sink_;

 private:
  bool shut_down_ = false;
};

constexpr ParamId P(int id) { return static_cast<ParamId>(id); }
