// Test entry: libevent's debug mode catches misuse of events (double adds, freed events).
#include <event2/event.h>
#include <gmock/gmock.h>

int main(int argc, char** argv) {
  event_enable_debug_mode();
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
