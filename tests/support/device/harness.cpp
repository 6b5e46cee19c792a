#include "support/device/harness.hpp"

namespace mok::test {

namespace {
constinit ProcessRuntime TEST_RUNTIME("dev-test");
}

Runtime& test_runtime() { return *TEST_RUNTIME.get(); }

void DeviceTest::SetUp() {
  auto c = brelo::Client::connect(test_runtime(), cam.address());
  ASSERT_TRUE(c.ok());
  client = std::move(*c);
  client->set_state_cb([this](brelo::State s) { states.push(static_cast<std::uint32_t>(s)); });
}

void DeviceTest::TearDown() {
  if (!client) return;
  // The callback records into this fixture: wait until the connector has
  // reported its end, so no call arrives after the fixture is gone.
  client.reset();
  EXPECT_TRUE(states.wait_for(static_cast<std::uint32_t>(brelo::State::Terminated)));
}

void DeviceTest::connect_and_start() {
  ASSERT_TRUE(client->start().ok());
  ASSERT_TRUE(cam.wait_accepted());
  ASSERT_TRUE(states.wait_for(static_cast<std::uint32_t>(brelo::State::Connected)));
  ASSERT_TRUE(eventually([&] { return client->send_reg(0xFFFF, 0).ok(); }));
  auto probe = cam.next_packet();
  ASSERT_TRUE(probe);
  ASSERT_EQ(probe->payload[2], 0xFF);
}

}  // namespace mok::test
