#include "tovali/Network/tcp_stream.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/transport_test_util.h"

namespace tovali {
namespace {

using transport_test::AcceptFrom;
using transport_test::BoundNotListening;
using transport_test::ConnectedPair;
using transport_test::ListenOn;
using transport_test::Loopback;
using transport_test::OpenDescriptors;
using transport_test::ReadExactly;
using transport_test::ReadsEof;
using transport_test::SendAll;
using transport_test::WaitReadable;

std::string Pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i)
    out[i] = static_cast<char>('a' + i % 26);
  return out;
}

class TcpStreamTest : public transport_test::LoopTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool ipv4() const { return GetParam(); }
  std::string OtherLoopback() const { return Loopback(!ipv4()); }

  void TearDown() override {
    stream_.reset();
    LoopTest::TearDown();
  }

  // An open stream adopted from a connected loopback pair; `peer_` is the blocking far end.
  void AdoptPair() {
    int ours = -1;
    ASSERT_TRUE(ConnectedPair(ipv4(), &ours, &peer_));
    Keep(peer_);
    ours_ = ours;
    stream_ = std::make_unique<TcpStream>(base(), ipv4());
    stream_->on_data = [this](const char* data, size_t len) {
      deliveries_.push_back(len);
      received_.append(data, len);
      return data_result_;
    };
    stream_->on_error = [this](int code) { errors_.push_back(code); };
    ASSERT_EQ(stream_->Accept(ours, Loopback(ipv4()), 1), 0);
  }

  // A stream connecting to a plain listening socket; `server_` accepts once opened.
  void ConnectToServer() {
    uint16_t port = 0;
    listen_fd_ = Keep(ListenOn(ipv4(), &port));
    ASSERT_GE(listen_fd_, 0);
    server_port_ = port;
    stream_ = std::make_unique<TcpStream>(base(), ipv4());
    stream_->on_open = [this] { ++opens_; };
    stream_->on_data = [](const char*, size_t) { return 0; };
    stream_->on_error = [this](int code) { errors_.push_back(code); };
  }

  std::unique_ptr<TcpStream> stream_;
  int peer_ = -1;
  int ours_ = -1;
  int listen_fd_ = -1;
  uint16_t server_port_ = 0;
  int opens_ = 0;
  int sent_ = 0;
  int data_result_ = 0;
  std::vector<int> errors_;
  std::vector<size_t> deliveries_;
  std::string received_;
};

INSTANTIATE_TEST_SUITE_P(Families, TcpStreamTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "IPv4" : "IPv6";
                         });

TEST_P(TcpStreamTest, OneLoopPassDeliversAtMostTheReadBudget) {
  // A peer that sends as fast as it can must not keep the loop inside one connection.
  AdoptPair();
  const std::string sent = Pattern(512 * 1024);
  std::thread writer([this, &sent] { SendAll(peer_, sent); });
  int queued = 0;
  for (int i = 0; i < 2000 && queued < 96 * 1024; ++i) {
    usleep(1000);
    ioctl(ours_, FIONREAD, &queued);
  }
  RunOnce();
  const size_t first_pass = received_.size();
  RunUntil([this, &sent] { return received_.size() == sent.size(); });
  writer.join();
  EXPECT_GE(queued, 96 * 1024);
  EXPECT_GT(first_pass, 0u);
  EXPECT_LE(first_pass, 64u * 1024);
  EXPECT_EQ(received_, sent);
}

TEST_P(TcpStreamTest, ConnectRefusesAnythingButANumericAddressOfItsFamily) {
  const int fds = OpenDescriptors();
  for (const std::string& ip : {std::string("localhost"), std::string(""), OtherLoopback(),
                                std::string("127.0.0.1:80"), std::string("[::1]")}) {
    TcpStream stream(base(), ipv4());
    EXPECT_EQ(stream.Connect(ip, 80), 5) << ip;
    EXPECT_EQ(OpenDescriptors(), fds) << ip << " opened a socket";
    EXPECT_EQ(stream.saved_errno, 0);
  }
}

TEST_P(TcpStreamTest, RefusedConnectGivesSevenWithoutErrno) {
  uint16_t port = 0;
  Keep(BoundNotListening(ipv4(), &port));
  stream_ = std::make_unique<TcpStream>(base(), ipv4());
  stream_->on_open = [this] { ++opens_; };
  stream_->on_error = [this](int code) { errors_.push_back(code); };
  int rc = stream_->Connect(Loopback(ipv4()), port);
  if (rc == 0) {
    ASSERT_TRUE(RunUntil([this] { return !errors_.empty(); }));
    EXPECT_EQ(errors_, std::vector<int>{7});
    EXPECT_EQ(stream_->connect_errno, ECONNREFUSED);
  } else {
    EXPECT_EQ(rc, 7);
    EXPECT_TRUE(errors_.empty());
  }
  EXPECT_EQ(opens_, 0);
  EXPECT_EQ(stream_->saved_errno, 0);
}

// The kernel refuses a TCP connect to a multicast address inside the call, before any packet.
TEST_P(TcpStreamTest, ConnectFailingAtOnceGivesSevenWithoutErrno) {
  TcpStream stream(base(), ipv4());
  stream.on_error = [this](int code) { errors_.push_back(code); };
  EXPECT_EQ(stream.Connect(ipv4() ? "224.0.0.1" : "ff02::1", 9), 7);
  EXPECT_EQ(stream.saved_errno, 0);
  EXPECT_TRUE(errors_.empty());
}

TEST_P(TcpStreamTest, OpensWithBothAddressesKnown) {
  ConnectToServer();
  ASSERT_EQ(stream_->Connect(Loopback(ipv4()), server_port_), 0);
  EXPECT_EQ(opens_, 0) << "on_open must not run inside Connect";
  ASSERT_TRUE(RunUntil([this] { return opens_ > 0; }));
  EXPECT_EQ(opens_, 1);
  int server = Keep(AcceptFrom(listen_fd_));
  EXPECT_EQ(stream_->LocalIp(), Loopback(ipv4()));
  EXPECT_EQ(stream_->LocalPort(), transport_test::RemotePortOf(server));
  EXPECT_EQ(stream_->RemoteIp(), Loopback(ipv4()));
  EXPECT_EQ(stream_->RemotePort(), server_port_);

  ASSERT_EQ(stream_->SetSendBufferSize(65536), 0);
  EXPECT_GE(stream_->GetSendBufferSize(), 65536);
  stream_->UpdateRtt();  // loopback: well under a second either way
  EXPECT_LT(stream_->rtt_ms(), 1000u);

  stream_->Close(0);
  EXPECT_TRUE(ReadsEof(server));
  EXPECT_TRUE(errors_.empty()) << "Close(0) reports nothing";
  EXPECT_EQ(stream_->GetSendBufferSize(), -1);
  EXPECT_EQ(stream_->SetSendBufferSize(65536), -1);
}

TEST_P(TcpStreamTest, SendBeforeOpenOrOfNothingReturns15) {
  TcpStream fresh(base(), ipv4());
  EXPECT_EQ(fresh.Send(std::string("x")), 15);
  EXPECT_EQ(fresh.Send("x", 1), 15);
  EXPECT_EQ(fresh.GetSendBufferSize(), -1);

  AdoptPair();
  EXPECT_EQ(stream_->Send(std::string()), 15);
  EXPECT_EQ(stream_->Send("x", 0), 15);
  EXPECT_EQ(stream_->PendingBytes(), 0u);
  stream_->Close(0);
  EXPECT_EQ(stream_->Send(std::string("x")), 15);
  EXPECT_EQ(stream_->Send("x", 1), 15);
  EXPECT_TRUE(errors_.empty());
}

TEST_P(TcpStreamTest, SendsFromOnOpenGoOutThenOnSent) {
  ConnectToServer();
  stream_->on_open = [this] {
    ++opens_;
    EXPECT_EQ(stream_->Send(std::string("hello ")), 0);
    EXPECT_EQ(stream_->Send("world", 5), 0);
    EXPECT_EQ(stream_->PendingBytes(), 11u);
  };
  stream_->on_sent = [this] { ++sent_; };
  ASSERT_EQ(stream_->Connect(Loopback(ipv4()), server_port_), 0);
  ASSERT_TRUE(RunUntil([this] { return sent_ > 0; }));
  EXPECT_EQ(opens_, 1);
  EXPECT_EQ(sent_, 1);
  EXPECT_EQ(stream_->PendingBytes(), 0u);
  int server = Keep(AcceptFrom(listen_fd_));
  EXPECT_EQ(ReadExactly(server, 11), "hello world");
}

TEST_P(TcpStreamTest, SmallCopyingSendsShareAChunkLargeOnesGetTheirOwn) {
  AdoptPair();
  stream_->on_sent = [this] { ++sent_; };
  const std::string big = Pattern(4096);
  ASSERT_EQ(stream_->Send("0123456789", 10), 0);
  ASSERT_EQ(stream_->Send("abcdefghij", 10), 0);
  ASSERT_EQ(stream_->Send("ABCDEFGHIJ", 10), 0);
  EXPECT_EQ(stream_->QueuedChunks(), 1u);
  ASSERT_EQ(stream_->Send(big.data(), big.size()), 0);
  EXPECT_EQ(stream_->QueuedChunks(), 2u);
  ASSERT_EQ(stream_->Send(std::string("tail")), 0);
  EXPECT_EQ(stream_->QueuedChunks(), 3u);
  EXPECT_EQ(stream_->PendingBytes(), 30u + 4096u + 4u);
  EXPECT_EQ(sent_, 0) << "nothing is written synchronously";

  ASSERT_TRUE(RunUntil([this] { return sent_ > 0; }));
  EXPECT_EQ(sent_, 1);
  EXPECT_EQ(stream_->QueuedChunks(), 0u);
  EXPECT_EQ(ReadExactly(peer_, 30 + 4096 + 4),
            "0123456789abcdefghijABCDEFGHIJ" + big + std::string("tail"));
}

TEST_P(TcpStreamTest, ManySmallSendsTravelInOrder) {
  AdoptPair();
  stream_->on_sent = [this] { ++sent_; };
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    std::string piece = std::to_string(i) + ",";
    expected += piece;
    ASSERT_EQ(stream_->Send(piece.data(), piece.size()), 0);
  }
  EXPECT_LE(stream_->QueuedChunks(), expected.size() / 1500 + 1);
  ASSERT_TRUE(RunUntil([this] { return sent_ > 0; }));
  EXPECT_EQ(ReadExactly(peer_, expected.size()), expected);
}

TEST_P(TcpStreamTest, OneReadinessEventDrainsTheSocket) {
  AdoptPair();
  ASSERT_TRUE(SendAll(peer_, Pattern(40000)));
  ASSERT_TRUE(WaitReadable(ours_, 40000));
  RunOnce();
  EXPECT_EQ(deliveries_, (std::vector<size_t>{32768, 7232}));
  EXPECT_EQ(received_, Pattern(40000));
}

TEST_P(TcpStreamTest, NegativeOnDataDefersTheRestToTheNextEvent) {
  AdoptPair();
  data_result_ = -1;
  ASSERT_TRUE(SendAll(peer_, Pattern(40000)));
  ASSERT_TRUE(WaitReadable(ours_, 40000));
  RunOnce();
  EXPECT_EQ(deliveries_, std::vector<size_t>{32768});
  RunOnce();
  EXPECT_EQ(deliveries_, (std::vector<size_t>{32768, 7232}));
  EXPECT_EQ(received_, Pattern(40000));
}

TEST_P(TcpStreamTest, PeerCloseReportsEightExactlyOnce) {
  AdoptPair();
  ASSERT_TRUE(SendAll(peer_, "bye"));
  shutdown(peer_, SHUT_WR);
  ASSERT_TRUE(RunUntil([this] { return !errors_.empty(); }));
  EXPECT_EQ(received_, "bye");
  EXPECT_EQ(errors_, std::vector<int>{8});
  stream_->Close(8);
  stream_->Close(0);
  EXPECT_EQ(errors_, std::vector<int>{8});
  EXPECT_EQ(stream_->Send("x", 1), 15);
  EXPECT_TRUE(ReadsEof(peer_)) << "the socket is closed";
}

TEST_P(TcpStreamTest, WriteThroughWritesAtOnceAndQueuesOnlyTheRest) {
  AdoptPair();
  stream_->write_through = true;
  stream_->on_sent = [this] { ++sent_; };
  ASSERT_EQ(stream_->Send(std::string("now")), 0);
  EXPECT_EQ(stream_->PendingBytes(), 0u);
  EXPECT_EQ(ReadExactly(peer_, 3), "now") << "written before the loop ran";
  // More than the socket buffers take: the rest is queued and follows in order.
  const std::string big = Pattern(16 << 20);
  ASSERT_EQ(stream_->Send(big.data(), big.size()), 0);
  ASSERT_GT(stream_->PendingBytes(), 0u);
  ASSERT_EQ(stream_->Send(std::string("end")), 0);
  std::string got;
  std::thread reader([&] { got = ReadExactly(peer_, big.size() + 3); });
  EXPECT_TRUE(RunUntil([this] { return sent_ > 0; }));
  reader.join();
  EXPECT_EQ(sent_, 1);
  EXPECT_TRUE(got == big + "end");
}

TEST_P(TcpStreamTest, SmallReadSizeAndResetOnClose) {
  int ours = -1;
  ASSERT_TRUE(ConnectedPair(ipv4(), &ours, &peer_));
  Keep(peer_);
  stream_ = std::make_unique<TcpStream>(base(), ipv4());
  stream_->SetReadSize(100);
  stream_->reset_on_close = true;
  stream_->on_data = [this](const char* data, size_t len) {
    deliveries_.push_back(len);
    received_.append(data, len);
    return 0;
  };
  ASSERT_EQ(stream_->Accept(ours, Loopback(ipv4()), 1), 0);
  stream_->SetReadSize(5);  // too late: the stream is open
  ASSERT_TRUE(SendAll(peer_, Pattern(250)));
  ASSERT_TRUE(WaitReadable(ours, 250));
  RunOnce();
  EXPECT_EQ(deliveries_, (std::vector<size_t>{100, 100, 50}));
  stream_->Close(0);
  char byte;
  EXPECT_EQ(recv(peer_, &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST_P(TcpStreamTest, WriteToAResetPeerReportsErrno) {
  AdoptPair();
  linger hard{1, 0};
  setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  close(peer_);
  fds_.clear();
  // The reset may surface on the read side first (ECONNRESET) or on a write (EPIPE): either is
  // an errno code, reported once, and no SIGPIPE kills the test.
  const std::string block = Pattern(65536);
  for (int i = 0; i < 8 && errors_.empty(); ++i) {
    if (stream_->Send(block.data(), block.size()) != 0)
      break;
    RunUntil([this] { return !errors_.empty() || stream_->PendingBytes() == 0; });
  }
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_TRUE(errors_[0] == 1000 + ECONNRESET || errors_[0] == 1000 + EPIPE || errors_[0] == 8)
      << errors_[0];
}

TEST_P(TcpStreamTest, DestructorNeverReportsAndFlushesWhenAsked) {
  AdoptPair();
  stream_->flush_on_close = true;
  ASSERT_EQ(stream_->Send(std::string("flushed")), 0);
  stream_.reset();
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(ReadExactly(peer_, 7), "flushed");
  EXPECT_TRUE(ReadsEof(peer_));
}

TEST_P(TcpStreamTest, DestructorWithoutFlushDropsTheQueue) {
  AdoptPair();
  ASSERT_EQ(stream_->Send(std::string("dropped")), 0);
  stream_.reset();
  EXPECT_TRUE(errors_.empty());
  EXPECT_TRUE(ReadsEof(peer_));
}

TEST_P(TcpStreamTest, DataWithoutOnDataIsDropped) {
  AdoptPair();
  stream_->on_data = nullptr;
  ASSERT_TRUE(SendAll(peer_, Pattern(40000)));
  shutdown(peer_, SHUT_WR);
  ASSERT_TRUE(RunUntil([this] { return !errors_.empty(); }));
  EXPECT_EQ(errors_, std::vector<int>{8});
}

TEST_P(TcpStreamTest, OpenWithoutOnOpenGoesOn) {
  ConnectToServer();
  stream_->on_open = nullptr;
  stream_->on_sent = [this] { ++sent_; };
  ASSERT_EQ(stream_->Connect(Loopback(ipv4()), server_port_), 0);
  int server = Keep(AcceptFrom(listen_fd_));
  ASSERT_TRUE(RunUntil([this] { return stream_->Send("ping", 4) == 0; }));
  ASSERT_TRUE(RunUntil([this] { return sent_ > 0; }));
  EXPECT_EQ(ReadExactly(server, 4), "ping");
}

// ---- local binding

TEST_P(TcpStreamTest, BindIpMustBeAnAddressOfTheStreamsFamily) {
  for (const std::string& bind_ip : {OtherLoopback(), std::string("localhost")}) {
    for (uint16_t local_port : {0, 1}) {
      TcpStream stream(base(), ipv4());
      stream.bind_ip = bind_ip;
      stream.local_port = local_port;
      EXPECT_EQ(stream.Connect(Loopback(ipv4()), 9), 3) << bind_ip << " port " << local_port;
      EXPECT_EQ(stream.saved_errno, 0);
    }
  }
}

TEST_P(TcpStreamTest, LocalPortAloneBindsTheWildcardAddress) {
  ConnectToServer();
  uint16_t local = 0;
  // A listener with both reuse switches holds the port; the stream shares it.
  int holder = Keep(ListenOn(ipv4(), &local, ipv4() ? "0.0.0.0" : "::", true));
  ASSERT_GE(holder, 0);
  stream_->reuse_port = true;
  stream_->reuse_addr = true;
  stream_->local_port = local;
  ASSERT_EQ(stream_->Connect(Loopback(ipv4()), server_port_), 0);
  ASSERT_TRUE(RunUntil([this] { return opens_ > 0 || !errors_.empty(); }));
  ASSERT_EQ(opens_, 1);
  EXPECT_EQ(stream_->LocalPort(), local);
  EXPECT_EQ(stream_->LocalIp(), Loopback(ipv4()));
}

TEST_P(TcpStreamTest, BindIpWithLocalPortAppliesReuseFirst) {
  ConnectToServer();
  uint16_t local = 0;
  int holder = Keep(ListenOn(ipv4(), &local, Loopback(ipv4()), true));
  ASSERT_GE(holder, 0);
  stream_->reuse_port = true;
  stream_->reuse_addr = true;
  stream_->bind_ip = Loopback(ipv4());
  stream_->local_port = local;
  ASSERT_EQ(stream_->Connect(Loopback(ipv4()), server_port_), 0) << stream_->saved_errno;
  ASSERT_TRUE(RunUntil([this] { return opens_ > 0 || !errors_.empty(); }));
  ASSERT_EQ(opens_, 1);
  EXPECT_EQ(stream_->LocalPort(), local);
}

TEST_P(TcpStreamTest, TakenLocalPortFailsWithFourSavingErrnoOnlyWithBindIp) {
  uint16_t taken = 0;
  Keep(ListenOn(ipv4(), &taken, Loopback(ipv4())));
  {
    TcpStream stream(base(), ipv4());
    stream.local_port = taken;
    stream.bind_ip = Loopback(ipv4());
    EXPECT_EQ(stream.Connect(Loopback(ipv4()), 9), 4);
    EXPECT_EQ(stream.saved_errno, EADDRINUSE);
  }
  {
    TcpStream stream(base(), ipv4());
    stream.local_port = taken;
    EXPECT_EQ(stream.Connect(Loopback(ipv4()), 9), 4);
    EXPECT_EQ(stream.saved_errno, 0);
  }
}

TEST_P(TcpStreamTest, FailingInterfaceBindingStopsConnectOnlyWhenAsked) {
  {
    TcpStream stream(base(), ipv4());
    stream.bind_nic = "nosuchnic0";
    stream.fail_on_option_error = true;
    EXPECT_EQ(stream.Connect(Loopback(ipv4()), 9), 25);
    EXPECT_NE(stream.saved_errno, 0);
  }
  ConnectToServer();
  stream_->bind_nic = "nosuchnic0";
  stream_->keepalive = true;
  ASSERT_EQ(stream_->Connect(Loopback(ipv4()), server_port_), 0);
  ASSERT_TRUE(RunUntil([this] { return opens_ > 0 || !errors_.empty(); }));
  EXPECT_EQ(opens_, 1);
  EXPECT_EQ(stream_->saved_errno, 0);
}

// ---- destruction from inside each callback (meaningful under AddressSanitizer)

TEST_P(TcpStreamTest, DestroyedInsideOnOpen) {
  ConnectToServer();
  stream_->on_open = [this] {
    ++opens_;
    stream_.reset();
  };
  ASSERT_EQ(stream_->Connect(Loopback(ipv4()), server_port_), 0);
  ASSERT_TRUE(RunUntil([this] { return opens_ > 0; }));
  EXPECT_EQ(opens_, 1);
  EXPECT_EQ(stream_, nullptr);
  int server = Keep(AcceptFrom(listen_fd_));
  EXPECT_TRUE(ReadsEof(server));
}

TEST_P(TcpStreamTest, DestroyedInsideOnError) {
  AdoptPair();
  stream_->on_error = [this](int code) {
    errors_.push_back(code);
    stream_.reset();
  };
  shutdown(peer_, SHUT_WR);
  ASSERT_TRUE(RunUntil([this] { return !errors_.empty(); }));
  EXPECT_EQ(errors_, std::vector<int>{8});
  EXPECT_EQ(stream_, nullptr);
}

TEST_P(TcpStreamTest, DestroyedInsideOnErrorOfARefusedConnect) {
  uint16_t port = 0;
  Keep(BoundNotListening(ipv4(), &port));
  stream_ = std::make_unique<TcpStream>(base(), ipv4());
  stream_->on_open = [this] { ++opens_; };
  stream_->on_error = [this](int code) {
    errors_.push_back(code);
    stream_.reset();
  };
  int rc = stream_->Connect(Loopback(ipv4()), port);
  if (rc == 0) {
    ASSERT_TRUE(RunUntil([this] { return !errors_.empty(); }));
  }
  EXPECT_EQ(opens_, 0);
  EXPECT_EQ(errors_.size(), rc == 0 ? 1u : 0u);
}

TEST_P(TcpStreamTest, DestroyedInsideOnSent) {
  AdoptPair();
  stream_->on_sent = [this] {
    ++sent_;
    stream_.reset();
  };
  ASSERT_EQ(stream_->Send(std::string("last words")), 0);
  ASSERT_TRUE(RunUntil([this] { return sent_ > 0; }));
  EXPECT_EQ(sent_, 1);
  EXPECT_EQ(ReadExactly(peer_, 10), "last words");
  EXPECT_TRUE(ReadsEof(peer_));
}

// Whatever on_data returns after destroying the stream, the stream touches nothing of itself
// (run under ASan this catches a read of freed memory).
TEST_P(TcpStreamTest, DestroyedInsideOnDataWhateverItReturns) {
  for (int result : {-1, 0}) {
    AdoptPair();
    int calls = 0;
    stream_->on_data = [this, &calls, result](const char*, size_t) {
      ++calls;
      const int r = result;  // the closure dies with the stream
      stream_.reset();
      return r;
    };
    ASSERT_TRUE(SendAll(peer_, Pattern(40000)));  // more than one buffer: a loop would go on
    ASSERT_TRUE(RunUntil([this] { return stream_ == nullptr; }));
    EXPECT_EQ(calls, 1) << result;
    EXPECT_TRUE(errors_.empty());
  }
}

// A close inside on_data leaves the delivered bytes readable until the callback returns.
TEST_P(TcpStreamTest, ClosedInsideOnDataKeepsTheDeliveredBytes) {
  AdoptPair();
  std::string seen;
  stream_->on_data = [this, &seen](const char* data, size_t len) {
    stream_->Close(0);
    seen.assign(data, len);
    return 0;
  };
  ASSERT_TRUE(SendAll(peer_, "still here"));
  ASSERT_TRUE(RunUntil([&seen] { return !seen.empty(); }));
  EXPECT_EQ(seen, "still here");
}

}  // namespace
}  // namespace tovali
