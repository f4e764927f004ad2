// ReverseStream frame reassembly and the detector's handling of inbound connections, driven
// through real loopback connections. The detector's own start and timeout timers are stopped,
// so it never listens or dials out: the tests hand it accepted streams directly.
#include <arpa/inet.h>
#include <event2/event.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "main/ReverseDetector.h"
#include "main/ReverseStream.h"
#include "support/recording_sink.h"
#include "tovali/Network/event_loop.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_stream.h"

namespace palvex {

// Test access to the detector's inside.
class ReverseDetectorPeer {
 public:
  // Keeps the detector from ever starting; and should it start anyway, its only server
  // address is loopback.
  static void Quiesce(ReverseDetector& d) {
    d.start_timer_.Stop();
    d.timeout_timer_.Stop();
    for (const char* isp : {"1", "2", "5"}) {
      d.backup_ipv4_[isp] = {"127.0.0.1"};
      d.backup_ipv6_[isp] = {"::1"};
    }
  }
  static event_base* Base(ReverseDetector& d) { return d.loop_.base(); }
  static void Accept(ReverseDetector& d, tovali::TcpStream* s) { d.OnAccept(s); }
  static size_t Streams(const ReverseDetector& d) { return d.streams_.size(); }
  static int Status(const ReverseDetector& d) { return d.p2p_status_; }
  static const std::string& DetectAddr(const ReverseDetector& d) { return d.detect_addr_; }
};

namespace {

using Peer = ReverseDetectorPeer;
using ::testing::Contains;
using ::testing::HasSubstr;

std::string Frame(uint16_t version, const std::string& payload) {
  std::string out;
  out.push_back(static_cast<char>(version >> 8));
  out.push_back(static_cast<char>(version & 0xff));
  uint32_t n = static_cast<uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((n >> shift) & 0xff));
  return out + payload;
}

std::string Header(uint16_t version, uint32_t length) {
  std::string out = Frame(version, "");
  for (int i = 0; i < 4; ++i)
    out[2 + i] = static_cast<char>((length >> (24 - 8 * i)) & 0xff);
  return out;
}

// A blocking peer socket connected to a non-blocking one that a TcpStream adopts.
struct Pair {
  int peer = -1;
  tovali::TcpStream* stream = nullptr;
  uint16_t peer_port = 0;
};

class ReverseStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { NewDetector(); }

  void TearDown() override {
    DropDetector();
    for (int fd : peers_)
      close(fd);
  }

  void NewDetector() {
    DropDetector();
    detector_ = std::make_unique<ReverseDetector>(ReverseConfig{});
    Peer::Quiesce(*detector_);
    guard_ = std::make_unique<tovali::Timer>();
    guard_->Init(base(), [] {});
  }

  void DropDetector() {
    guard_.reset();
    detector_.reset();
  }

  event_base* base() { return Peer::Base(*detector_); }

  // Connects a peer on loopback and hands the accepted side to the detector, as the listener
  // would.
  Pair Connect(bool ipv4 = true) {
    Pair pair;
    int family = ipv4 ? AF_INET : AF_INET6;
    int listener = socket(family, SOCK_STREAM, 0);
    sockaddr_storage addr{};
    socklen_t len = ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (ipv4)
      tovali::ToSockAddrV4("127.0.0.1", 0, reinterpret_cast<sockaddr_in*>(&addr));
    else
      tovali::ToSockAddrV6("::1", 0, reinterpret_cast<sockaddr_in6*>(&addr));
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(listen(listener, 4), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    pair.peer = socket(family, SOCK_STREAM, 0);
    peers_.push_back(pair.peer);
    EXPECT_EQ(connect(pair.peer, reinterpret_cast<sockaddr*>(&addr), len), 0);
    sockaddr_storage remote{};
    socklen_t rlen = sizeof(remote);
    int fd = accept(listener, reinterpret_cast<sockaddr*>(&remote), &rlen);
    close(listener);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(evutil_make_socket_nonblocking(fd), 0);
    auto* raw = reinterpret_cast<sockaddr*>(&remote);
    pair.peer_port = tovali::SockAddrPort(raw);
    pair.stream = new tovali::TcpStream(base(), ipv4);
    EXPECT_EQ(pair.stream->Accept(fd, tovali::SockAddrToText(raw), pair.peer_port), 0);
    Peer::Accept(*detector_, pair.stream);
    return pair;
  }

  void Send(const Pair& pair, const std::string& bytes) {
    ASSERT_EQ(send(pair.peer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // One loop iteration that handles whatever became ready (waits for the first event; the
  // guard timer only keeps a broken test from hanging).
  void RunOnce() {
    guard_->Start(5000, 0);
    event_base_loop(base(), EVLOOP_ONCE);
    guard_->Stop();
  }

  // Runs iterations until `done`; a hang guard bounds it.
  void RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i)
      RunOnce();
    ASSERT_TRUE(done());
  }

  // True when the peer sees its connection closed by our side.
  static bool PeerSeesClose(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1)
      return false;
    char c;
    return recv(fd, &c, 1, 0) <= 0;
  }

  size_t CountLines(const std::string& text) {
    size_t n = 0;
    for (const std::string& line : capture_.sink->Texts())
      n += line.find(text) != std::string::npos;
    return n;
  }

  tovali_test::LogCapture capture_;
  std::unique_ptr<ReverseDetector> detector_;
  std::unique_ptr<tovali::Timer> guard_;  // bound to the detector's loop, dropped before it
  std::vector<int> peers_;
};

TEST_F(ReverseStreamTest, FrameInPiecesCompletesOnTheLastByte) {
  Pair pair = Connect();
  std::string frame = Frame(2, "hello");
  Send(pair, frame.substr(0, 3));
  RunOnce();
  Send(pair, frame.substr(3, 4));
  RunOnce();
  Send(pair, frame.substr(7, frame.size() - 8));
  RunOnce();
  // One byte short: still collecting.
  EXPECT_EQ(Peer::Status(*detector_), -1);
  EXPECT_EQ(Peer::Streams(*detector_), 1u);
  Send(pair, frame.substr(frame.size() - 1));
  RunUntil([&] { return Peer::Status(*detector_) == 1; });
  EXPECT_EQ(Peer::Streams(*detector_), 0u);
  EXPECT_EQ(Peer::DetectAddr(*detector_), "127.0.0.1:" + std::to_string(pair.peer_port));
  EXPECT_EQ(CountLines("[CON 1] receive message: size=11 version=2 message=hello"), 1u);
  EXPECT_EQ(CountLines("[CON 1] DELETE"), 1u);
}

TEST_F(ReverseStreamTest, CompleteFramesInOneDelivery) {
  struct Case {
    std::string bytes;
    std::string logged;
  };
  const Case cases[] = {
      {Frame(7, ""), "size=6 version=7 message="},
      // Two frames at once: the first ends the run, the second is never looked at.
      {Frame(1, "first") + Frame(2, "second"), "size=11 version=1 message=first"},
      // A frame followed by the start of another.
      {Frame(3, "abc") + Frame(4, "xyz").substr(0, 4), "size=9 version=3 message=abc"},
      // The largest payload accepted.
      {Frame(5, std::string(ReverseStream::kMaxFramePayload, 'm')), "size=65542 version=5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    NewDetector();
    capture_.sink->Clear();
    Pair pair = Connect();
    Send(pair, c.bytes);
    RunUntil([&] { return Peer::Status(*detector_) == 1; });
    EXPECT_EQ(Peer::Streams(*detector_), 0u);
    EXPECT_EQ(CountLines("receive message"), 1u);
    EXPECT_EQ(CountLines(c.logged), 1u);
    EXPECT_TRUE(PeerSeesClose(pair.peer));
  }
}

TEST_F(ReverseStreamTest, BufferedHeaderThenFrameAndMore) {
  Pair pair = Connect();
  std::string frame = Frame(9, "payload");
  Send(pair, frame.substr(0, 2));
  RunOnce();
  Send(pair, frame.substr(2) + Frame(1, "x"));
  RunUntil([&] { return Peer::Status(*detector_) == 1; });
  EXPECT_EQ(CountLines("receive message"), 1u);
  EXPECT_EQ(CountLines("size=13 version=9 message=payload"), 1u);
}

TEST_F(ReverseStreamTest, IPv6PeerAddressInBrackets) {
  Pair pair = Connect(false);
  Send(pair, Frame(2, "v6"));
  RunUntil([&] { return Peer::Status(*detector_) == 1; });
  EXPECT_EQ(Peer::DetectAddr(*detector_), "[::1]:" + std::to_string(pair.peer_port));
}

TEST_F(ReverseStreamTest, FailuresDropOnlyThatConnection) {
  Pair first = Connect();
  Pair second = Connect();
  Pair third = Connect();
  EXPECT_EQ(CountLines("[CON 1] CREATE"), 1u);
  EXPECT_EQ(CountLines("[CON 3] CREATE"), 1u);

  // Five bytes, then close: the peer's close reaches the stream with code 8.
  Send(first, Frame(2, "abc").substr(0, 5));
  shutdown(first.peer, SHUT_WR);
  RunUntil([&] { return Peer::Streams(*detector_) == 2; });
  EXPECT_EQ(CountLines("[CON 1] stream error: 8"), 1u);

  // A header announcing one byte more than allowed: dropped as soon as the header is in.
  Send(second, Header(2, ReverseStream::kMaxFramePayload + 1));
  RunUntil([&] { return Peer::Streams(*detector_) == 1; });
  EXPECT_EQ(CountLines("[CON 2] frame too large: 65537"), 1u);
  EXPECT_TRUE(PeerSeesClose(second.peer));
  EXPECT_EQ(CountLines("stream error"), 1u);

  EXPECT_EQ(Peer::Status(*detector_), -1);
  EXPECT_EQ(Peer::DetectAddr(*detector_), "");

  // The detection goes on: the third connection still counts.
  Send(third, Frame(2, "ok"));
  RunUntil([&] { return Peer::Status(*detector_) == 1; });
  EXPECT_EQ(CountLines("[CON 3] receive message"), 1u);
}

TEST_F(ReverseStreamTest, DetectorCapsOpenInboundConnections) {
  std::vector<Pair> pairs;
  for (size_t i = 0; i < ReverseDetector::kMaxInboundStreams; ++i)
    pairs.push_back(Connect());
  EXPECT_EQ(Peer::Streams(*detector_), ReverseDetector::kMaxInboundStreams);
  EXPECT_EQ(CountLines("too many inbound connections"), 0u);

  Pair extra = Connect();
  EXPECT_EQ(Peer::Streams(*detector_), ReverseDetector::kMaxInboundStreams);
  EXPECT_EQ(CountLines("[DTR] too many inbound connections (64), close 127.0.0.1:"), 1u);
  EXPECT_EQ(CountLines("[CON 65]"), 0u);
  EXPECT_TRUE(PeerSeesClose(extra.peer));

  // A slot freed by a closed connection takes the next one, with the next id.
  close(pairs[0].peer);
  peers_.erase(peers_.begin());
  RunUntil([&] { return Peer::Streams(*detector_) == ReverseDetector::kMaxInboundStreams - 1; });
  Pair next = Connect();
  EXPECT_EQ(CountLines("[CON 65] CREATE"), 1u);
  Send(next, Frame(2, "late"));
  RunUntil([&] { return Peer::Status(*detector_) == 1; });
}

TEST_F(ReverseStreamTest, DestructorTearsDownOpenStreams) {
  Pair first = Connect();
  Pair second = Connect();
  Send(first, Frame(2, "partial").substr(0, 8));
  RunOnce();
  detector_.reset();
  EXPECT_EQ(CountLines("[CON 1] DELETE"), 1u);
  EXPECT_EQ(CountLines("[CON 2] DELETE"), 1u);
  EXPECT_EQ(CountLines("stream error"), 0u);
  EXPECT_TRUE(PeerSeesClose(first.peer));
  EXPECT_TRUE(PeerSeesClose(second.peer));
}

TEST(RandomPortTest, StaysInsideTheRangeEvenWhenSwapped) {
  EXPECT_EQ(RandomPort(50000, 50000), 50000);
  for (int i = 0; i < 200; ++i) {
    uint16_t port = RandomPort(50010, 50000);
    EXPECT_GE(port, 50000);
    EXPECT_LE(port, 50010);
    port = RandomPort(0, 1);
    EXPECT_LE(port, 1);
  }
  EXPECT_EQ(RandomPort(65535, 65535), 65535);
}

}  // namespace
}  // namespace palvex
