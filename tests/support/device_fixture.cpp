#include "support/device_fixture.h"

#include <chrono>
#include <utility>

using namespace std::chrono_literals;

SimConfig DeviceFixture::Config() const {
  SimConfig config;
  config.telemetry_hz = 0;
  config.log_period = 0ms;
  return config;
}

void DeviceFixture::SetUp() {
  sim_ = std::make_unique<SimDevices>(Config());
  // 38 is the firmware build, 60 the charging switch, 45 to 52 the Ethernet settings.
  sim_->SetParameterList(TX, {{P(5), 0}, {P(13), 1}, {P(14), 0}, {P(34), 3000}, {P(36), 1111},
                              {P(38), 0xCAFEF00D}, {P(41), 0}, {P(45), 0}, {P(46), 0},
                              {P(47), 0}, {P(48), 0}, {P(49), 0}, {P(51), 0}, {P(52), 0},
                              {P(60), 0}});
  sim_->SetParameterList(RX, {{P(34), 3000}, {P(36), 25200}, {P(7), 0}, {P(41), 0},
                              {P(38), 0x000000FF}, {P(61), 0x42}, {P(62), 6}, {P(63), 4200},
                              {P(68), 1}});
  sim_->Start();
  link_ = std::make_unique<IoLink>(sim_->LinkText());
  tx_ = std::make_unique<ParameterService>(TX, link_->CreateSink(), link_->Router(), "?? Params");
  auto rx_sink = link_->CreateSink();
  rx_ = std::make_unique<ParameterService>(RX, std::move(rx_sink), link_->Router(), "?? Params");
  rx_sink.reset();
  ota_ = std::make_unique<OtaService>(link_->CreateSink());
  window_sink_ = link_->CreateSink();
  Wire();
  link_->Start();
  ASSERT_TRUE(sim_->WaitForHost(2000ms));
}

void DeviceFixture::TearDown() { Shutdown(); }

void DeviceFixture::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  if (link_) link_->Stop();
  ota_.reset();
  Unwire();
  window_sink_.reset();
  // No request may go out once the link is gone: stop the shared queue first.
  if (ParameterService::rpc_) ParameterService::rpc_->Stop();
  rx_.reset();
  tx_.reset();
  ParameterService::rpc_.reset();
  link_.reset();
  sim_.reset();
}
