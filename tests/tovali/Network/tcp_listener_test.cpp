#include "tovali/Network/tcp_listener.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/recording_sink.h"
#include "support/transport_test_util.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_stream.h"

namespace tovali {
namespace {

using transport_test::AcceptFrom;
using transport_test::ConnectTo;
using transport_test::ListenOn;
using transport_test::LocalPortOf;
using transport_test::Loopback;
using transport_test::OpenDescriptors;
using transport_test::ReadExactly;
using transport_test::ReadsEof;
using transport_test::SendAll;

class TcpListenerTest : public transport_test::LoopTest,
                        public ::testing::WithParamInterface<bool> {
 protected:
  bool ipv4() const { return GetParam(); }

  void TearDown() override {
    streams_.clear();
    listener_.reset();
    LoopTest::TearDown();
  }

  // A quiet listener that keeps every accepted stream.
  void MakeListener() {
    listener_ = std::make_unique<TcpListener>(base(), ipv4(), "", true, "");
    listener_->on_stream = [this](TcpStream* stream) { streams_.emplace_back(stream); };
    listener_->on_error = [this](TcpListener::Code code) { errors_.push_back(code); };
  }

  // `count` consecutive loopback ports held by plain listening sockets (no reuse).
  std::vector<int> HoldConsecutivePorts(int count, uint16_t* first) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::vector<int> held;
      uint16_t base_port = 0;
      held.push_back(ListenOn(ipv4(), &base_port));
      for (int i = 1; i < count && base_port < 65535 - count; ++i) {
        uint16_t next = static_cast<uint16_t>(base_port + i);
        int fd = ListenOn(ipv4(), &next);
        if (fd < 0)
          break;
        held.push_back(fd);
      }
      if (static_cast<int>(held.size()) == count) {
        *first = base_port;
        for (int fd : held)
          Keep(fd);
        return held;
      }
      for (int fd : held)
        close(fd);
    }
    ADD_FAILURE() << "no run of free ports";
    return {};
  }

  std::unique_ptr<TcpListener> listener_;
  std::vector<std::unique_ptr<TcpStream>> streams_;
  std::vector<TcpListener::Code> errors_;
};

INSTANTIATE_TEST_SUITE_P(Families, TcpListenerTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "IPv4" : "IPv6";
                         });

TEST_P(TcpListenerTest, EmptyAddressListensOnTheAnyAddress) {
  MakeListener();
  ASSERT_EQ(listener_->Start(0, ""), TcpListener::Ok);
  EXPECT_EQ(listener_->ip, ipv4() ? "0.0.0.0" : "::");
  ASSERT_NE(listener_->port, 0);
  int client = Keep(ConnectTo(ipv4(), listener_->port));
  ASSERT_TRUE(RunUntil([this] { return !streams_.empty(); }));
  ASSERT_EQ(streams_.size(), 1u);
  EXPECT_EQ(streams_[0]->RemoteIp(), Loopback(ipv4()));
  EXPECT_EQ(streams_[0]->RemotePort(), LocalPortOf(client));
  EXPECT_EQ(streams_[0]->LocalPort(), listener_->port);
  EXPECT_TRUE(errors_.empty());
}

TEST_P(TcpListenerTest, AcceptedStreamIsOpenBothWays) {
  MakeListener();
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  int client = Keep(ConnectTo(ipv4(), listener_->port));
  ASSERT_TRUE(RunUntil([this] { return !streams_.empty(); }));
  std::string got;
  streams_[0]->on_data = [&got](const char* data, size_t len) {
    got.append(data, len);
    return 0;
  };
  ASSERT_TRUE(SendAll(client, "ping"));
  ASSERT_TRUE(RunUntil([&got] { return got.size() == 4; }));
  EXPECT_EQ(got, "ping");
  ASSERT_EQ(streams_[0]->Send("pong", 4), 0);
  ASSERT_TRUE(RunUntil([this] { return streams_[0]->PendingBytes() == 0; }));
  EXPECT_EQ(ReadExactly(client, 4), "pong");
}

TEST_P(TcpListenerTest, NonNumericOrOtherFamilyAddressIsInvalidAndOpensNothing) {
  MakeListener();
  const int fds = OpenDescriptors();
  for (const std::string& ip :
       {std::string("localhost"), Loopback(!ipv4()), std::string("1.2.3")}) {
    EXPECT_EQ(listener_->Start(0, ip), TcpListener::InvalidAddress) << ip;
    EXPECT_EQ(OpenDescriptors(), fds) << ip;
  }
}

TEST_P(TcpListenerTest, PortSpanSkipsTakenPorts) {
  uint16_t first = 0;
  std::vector<int> held = HoldConsecutivePorts(3, &first);
  ASSERT_EQ(held.size(), 3u);
  MakeListener();
  listener_->port_span = 2;
  EXPECT_EQ(listener_->Start(first, Loopback(ipv4())), TcpListener::BindFailed);

  // Free the third port: the same object now binds it.
  close(held[2]);
  fds_.pop_back();
  ASSERT_EQ(listener_->Start(first, Loopback(ipv4())), TcpListener::Ok);
  EXPECT_EQ(listener_->port, first + 2);
  Keep(ConnectTo(ipv4(), listener_->port));
  ASSERT_TRUE(RunUntil([this] { return !streams_.empty(); }));
  EXPECT_EQ(streams_.size(), 1u);
}

TEST_P(TcpListenerTest, StartsAgainAfterAFailedStart) {
  uint16_t taken = 0;
  Keep(ListenOn(ipv4(), &taken));
  MakeListener();
  const int fds = OpenDescriptors();
  EXPECT_EQ(listener_->Start(taken, Loopback(ipv4())), TcpListener::BindFailed);
  EXPECT_EQ(OpenDescriptors(), fds) << "a failed start keeps no socket";
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  EXPECT_NE(listener_->port, taken);
  Keep(ConnectTo(ipv4(), listener_->port));
  ASSERT_TRUE(RunUntil([this] { return !streams_.empty(); }));
  EXPECT_EQ(streams_.size(), 1u);
}

TEST_P(TcpListenerTest, StartsAgainAfterStop) {
  MakeListener();
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  listener_->Stop();
  EXPECT_EQ(event_base_get_num_events(base(), EVENT_BASE_COUNT_ADDED), added_at_start_);
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  EXPECT_NE(listener_->port, 0);
  Keep(ConnectTo(ipv4(), listener_->port));
  ASSERT_TRUE(RunUntil([this] { return !streams_.empty(); }));
  EXPECT_EQ(streams_.size(), 1u);
}

TEST_P(TcpListenerTest, OnFdTakesTheDescriptorInsteadOfAStream) {
  MakeListener();
  std::vector<int> taken;
  listener_->on_fd = [&taken](int fd) { taken.push_back(fd); };
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  int client = Keep(ConnectTo(ipv4(), listener_->port));
  ASSERT_TRUE(RunUntil([&taken] { return !taken.empty(); }));
  ASSERT_EQ(taken.size(), 1u);
  Keep(taken[0]);
  EXPECT_TRUE(streams_.empty());
  EXPECT_NE(fcntl(taken[0], F_GETFL) & O_NONBLOCK, 0);
  int nodelay = 0;
  socklen_t len = sizeof(nodelay);
  ASSERT_EQ(getsockopt(taken[0], IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
  EXPECT_EQ(nodelay, 1);
  EXPECT_EQ(transport_test::RemotePortOf(taken[0]), LocalPortOf(client));
}

TEST_P(TcpListenerTest, TwoPendingConnectionsAreHandedOverOneByOne) {
  MakeListener();
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  int a = Keep(ConnectTo(ipv4(), listener_->port));
  int b = Keep(ConnectTo(ipv4(), listener_->port));
  RunOnce();
  EXPECT_EQ(streams_.size(), 1u);
  RunOnce();
  ASSERT_EQ(streams_.size(), 2u);
  std::set<uint16_t> remote{streams_[0]->RemotePort(), streams_[1]->RemotePort()};
  EXPECT_EQ(remote, (std::set<uint16_t>{LocalPortOf(a), LocalPortOf(b)}));
}

TEST_P(TcpListenerTest, WithoutTakersAConnectionIsClosed) {
  listener_ = std::make_unique<TcpListener>(base(), ipv4(), "", true, "");
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  int client = Keep(ConnectTo(ipv4(), listener_->port));
  RunOnce();
  EXPECT_TRUE(ReadsEof(client));
}

TEST_P(TcpListenerTest, DestroyedInsideOnStream) {
  MakeListener();
  listener_->on_stream = [this](TcpStream* stream) {
    streams_.emplace_back(stream);
    listener_.reset();
  };
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  Keep(ConnectTo(ipv4(), listener_->port));
  Keep(ConnectTo(ipv4(), listener_->port));
  ASSERT_TRUE(RunUntil([this] { return listener_ == nullptr; }));
  EXPECT_EQ(streams_.size(), 1u);
}

// Shutting the listening socket down makes every accept fail: the failure is reported, and the
// owner may destroy the listener inside the report.
TEST_P(TcpListenerTest, AcceptFailureIsReportedAndTheListenerMayDieInside) {
  MakeListener();
  int reports = 0;
  listener_->on_error = [this, &reports](TcpListener::Code code) {
    ++reports;
    errors_.push_back(code);
    listener_.reset();
  };
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  int listen_fd = -1;
  for (int fd = 3; fd < 1024 && listen_fd < 0; ++fd) {
    int accepting = 0;
    socklen_t len = sizeof(accepting);
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting == 1 &&
        LocalPortOf(fd) == listener_->port)
      listen_fd = fd;
  }
  ASSERT_GE(listen_fd, 0);
  ASSERT_EQ(shutdown(listen_fd, SHUT_RDWR), 0);
  ASSERT_TRUE(RunUntil([this] { return listener_ == nullptr; }));
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(errors_, std::vector<TcpListener::Code>{TcpListener::AcceptFailed});
}

// Out of descriptors, the listener pauses instead of failing, and accepts once they are back.
TEST_P(TcpListenerTest, RunningOutOfDescriptorsPausesAccepting) {
  MakeListener();
  ASSERT_EQ(listener_->Start(0, Loopback(ipv4())), TcpListener::Ok);
  Keep(ConnectTo(ipv4(), listener_->port));
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(probe, 0);
  close(probe);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(probe);  // no new descriptor fits
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool paused = RunUntil([this] { return listener_->accept_paused(); });
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(paused);
  EXPECT_TRUE(streams_.empty());
  ASSERT_TRUE(RunUntil([this] { return streams_.size() == 1; }));
  EXPECT_TRUE(errors_.empty());
}

// One family per listener: an IPv6 listener on the any-address refuses IPv4 peers.
using ListenerFamilyTest = transport_test::LoopTest;
TEST_F(ListenerFamilyTest, AnIPv6ListenerTakesNoIPv4Peers) {
  TcpListener listener(base(), false, "", true, "");
  ASSERT_EQ(listener.Start(0, ""), TcpListener::Ok);
  int client = Keep(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  ASSERT_TRUE(ToSockAddrV4("127.0.0.1", listener.port, &addr));
  EXPECT_NE(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  EXPECT_EQ(errno, ECONNREFUSED);
}

// ---- logging

TEST(TcpListenerLogTest, WritesCreateAndDeleteUnderItsLogName) {
  tovali_test::LogCapture capture(kLogDebug, "%L|%n|%s|%v");
  EventLoop loop;
  loop.Create(0);
  {
    TcpListener listener(loop.base(), true, "[X]", false, "netlog");
    ASSERT_EQ(listener.Start(0, "127.0.0.1"), TcpListener::Ok);
  }
  { TcpListener listener(loop.base(), false, "", false, ""); }
  EXPECT_THAT(capture.sink->Texts(),
              ::testing::ElementsAre("I|netlog|tcp_listener|[X][TCP] CREATE",
                                     "I|netlog|tcp_listener|[X][TCP] DELETE",
                                     "I|" + GetLoggerName() + "|tcp_listener|[TCP] CREATE",
                                     "I|" + GetLoggerName() + "|tcp_listener|[TCP] DELETE"));
  loop.Destroy();
}

TEST(TcpListenerLogTest, QuietWritesNothing) {
  tovali_test::LogCapture capture(kLogDebug);
  EventLoop loop;
  loop.Create(0);
  {
    TcpListener listener(loop.base(), true, "[X]", true, "netlog");
    ASSERT_EQ(listener.Start(0, "127.0.0.1"), TcpListener::Ok);
  }
  EXPECT_EQ(capture.sink->Count(), 0u);
  loop.Destroy();
}

// ---- a listener and an outbound stream sharing one local port

struct SharedPortCase {
  bool ipv4;
  bool bind_ip;
};

class SharedPortTest : public transport_test::LoopTest,
                       public ::testing::WithParamInterface<SharedPortCase> {};

INSTANTIATE_TEST_SUITE_P(Cases, SharedPortTest,
                         ::testing::Values(SharedPortCase{true, false}, SharedPortCase{true, true},
                                           SharedPortCase{false, false},
                                           SharedPortCase{false, true}),
                         [](const ::testing::TestParamInfo<SharedPortCase>& info) {
                           return std::string(info.param.ipv4 ? "IPv4" : "IPv6") +
                                  (info.param.bind_ip ? "BindIp" : "Wildcard");
                         });

// While the outbound stream is connected to a server from the listener's port, a new connection
// from that server to the port reaches the listener.
TEST_P(SharedPortTest, ServerConnectsBackToTheSendersPort) {
  const bool ipv4 = GetParam().ipv4;
  const std::string local_ip = GetParam().bind_ip ? Loopback(ipv4) : "";
  std::vector<std::unique_ptr<TcpStream>> inbound;
  TcpListener listener(base(), ipv4, "", true, "");
  listener.reuse_port = true;
  listener.reuse_addr = true;
  listener.on_stream = [&inbound](TcpStream* stream) { inbound.emplace_back(stream); };
  ASSERT_EQ(listener.Start(0, local_ip), TcpListener::Ok);
  const uint16_t shared = listener.port;

  uint16_t server_port = 0;
  int server = ListenOn(ipv4, &server_port);
  ASSERT_GE(server, 0);

  int opens = 0;
  std::vector<int> errors;
  std::string reply;
  auto sender = std::make_unique<TcpStream>(base(), ipv4);
  sender->reuse_port = true;
  sender->reuse_addr = true;
  sender->local_port = shared;
  sender->bind_ip = local_ip;
  sender->on_open = [&opens] { ++opens; };
  sender->on_data = [&reply](const char* data, size_t len) {
    reply.append(data, len);
    return 0;
  };
  sender->on_error = [&errors](int code) { errors.push_back(code); };
  ASSERT_EQ(sender->Connect(Loopback(ipv4), server_port), 0) << sender->saved_errno;
  ASSERT_TRUE(RunUntil([&] { return opens > 0 || !errors.empty(); }));
  ASSERT_EQ(opens, 1);
  EXPECT_EQ(sender->LocalPort(), shared);

  int from_sender = AcceptFrom(server);
  ASSERT_GE(from_sender, 0);
  EXPECT_EQ(transport_test::RemotePortOf(from_sender), shared);

  int back = ConnectTo(ipv4, shared);
  ASSERT_GE(back, 0);
  ASSERT_TRUE(RunUntil([&inbound] { return !inbound.empty(); }));
  ASSERT_EQ(inbound.size(), 1u);
  EXPECT_EQ(inbound[0]->RemotePort(), LocalPortOf(back));

  // Both connections stay usable.
  ASSERT_TRUE(SendAll(from_sender, "reply"));
  ASSERT_TRUE(RunUntil([&reply] { return reply.size() == 5; }));
  EXPECT_EQ(reply, "reply");
  EXPECT_TRUE(errors.empty());

  sender.reset();
  inbound.clear();
  close(back);
  close(from_sender);
  close(server);
}

}  // namespace
}  // namespace tovali
