// ReverseStream frame reassembly and the bounded set of inbound connections, driven through real
// loopback connections handed to the set as the listener would.
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

#include "main/InboundStreams.h"
#include "main/ReverseDetector.h"
#include "main/ReverseStream.h"
#include "support/loop_fixture.h"
#include "support/recording_sink.h"
#include "tovali/Network/event_loop.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_stream.h"

namespace palvex {
namespace {

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

class ReverseStreamTest : public tovali_test::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    NewSet();
  }

  void TearDown() override {
    inbound_.reset();
    guard_.reset();
    for (int fd : peers_)
      close(fd);
    LoopFixture::TearDown();
  }

  void NewSet() {
    inbound_ = std::make_unique<InboundStreams>(base(), "[DTR]");
    inbound_->on_frame = [this](const std::string& addr) {
      ++frames_;
      detect_addr_ = addr;
    };
    frames_ = 0;
    detect_addr_.clear();
    if (!guard_) {
      guard_ = std::make_unique<tovali::Timer>();
      guard_->Init(base(), [] {});
    }
  }

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
    inbound_->Add(pair.stream);
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
  std::unique_ptr<InboundStreams> inbound_;
  int frames_ = 0;
  std::string detect_addr_;
  std::unique_ptr<tovali::Timer> guard_;  // keeps RunOnce from hanging a broken test
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
  EXPECT_EQ(frames_, 0);
  EXPECT_EQ(inbound_->size(), 1u);
  Send(pair, frame.substr(frame.size() - 1));
  RunUntil([&] { return frames_ == 1; });
  EXPECT_EQ(inbound_->size(), 0u);
  EXPECT_EQ(detect_addr_, "127.0.0.1:" + std::to_string(pair.peer_port));
  EXPECT_EQ(CountLines("[CON 1] receive message: size=11 version=2 message=hello"), 1u);
  EXPECT_TRUE(PeerSeesClose(pair.peer));
  RunUntil([&] { return CountLines("[CON 1] DELETE") == 1; });
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
    NewSet();
    capture_.sink->Clear();
    Pair pair = Connect();
    Send(pair, c.bytes);
    RunUntil([&] { return frames_ == 1; });
    EXPECT_EQ(inbound_->size(), 0u);
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
  RunUntil([&] { return frames_ == 1; });
  EXPECT_EQ(CountLines("receive message"), 1u);
  EXPECT_EQ(CountLines("size=13 version=9 message=payload"), 1u);
}

TEST_F(ReverseStreamTest, IPv6PeerAddressInBrackets) {
  Pair pair = Connect(false);
  Send(pair, Frame(2, "v6"));
  RunUntil([&] { return frames_ == 1; });
  EXPECT_EQ(detect_addr_, "[::1]:" + std::to_string(pair.peer_port));
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
  RunUntil([&] { return inbound_->size() == 2; });
  EXPECT_EQ(CountLines("[CON 1] stream error: 8"), 1u);

  // A header announcing one byte more than allowed: dropped as soon as the header is in.
  Send(second, Header(2, ReverseStream::kMaxFramePayload + 1));
  RunUntil([&] { return inbound_->size() == 1; });
  EXPECT_EQ(CountLines("[CON 2] frame too large: 65537"), 1u);
  EXPECT_TRUE(PeerSeesClose(second.peer));
  EXPECT_EQ(CountLines("stream error"), 1u);

  EXPECT_EQ(frames_, 0);
  EXPECT_EQ(detect_addr_, "");

  // The detection goes on: the third connection still counts.
  Send(third, Frame(2, "ok"));
  RunUntil([&] { return frames_ == 1; });
  EXPECT_EQ(CountLines("[CON 3] receive message"), 1u);
}

// A full set makes room for every newcomer by closing its oldest connection, so a flood of idle
// peers cannot lock out the real dial-back; a peer that sends no frame in time is dropped too.
TEST_F(ReverseStreamTest, FullSetClosesTheOldestAndSlowPeersMissTheirDeadline) {
  std::vector<Pair> pairs;
  for (size_t i = 0; i < InboundStreams::kMaxStreams; ++i)
    pairs.push_back(Connect());
  EXPECT_EQ(inbound_->size(), InboundStreams::kMaxStreams);
  EXPECT_EQ(CountLines("too many inbound connections"), 0u);

  Pair newcomer = Connect();
  EXPECT_EQ(inbound_->size(), InboundStreams::kMaxStreams);
  EXPECT_EQ(CountLines("[DTR] too many inbound connections (64), close the oldest [CON 1] to take "
                       "127.0.0.1:"),
            1u);
  EXPECT_EQ(CountLines("[CON 1] DELETE"), 1u);
  EXPECT_TRUE(PeerSeesClose(pairs[0].peer));
  Send(newcomer, Frame(2, "late"));
  RunUntil([&] { return frames_ == 1; });
  EXPECT_EQ(CountLines("[CON 65] receive message"), 1u);

  NewSet();
  inbound_->frame_deadline_ms = 20;
  Pair slow = Connect();
  Send(slow, Frame(2, "slow").substr(0, 3));
  RunUntil([&] { return inbound_->size() == 0; });
  EXPECT_EQ(CountLines("[CON 1] no frame within 20 ms"), 1u);
  EXPECT_TRUE(PeerSeesClose(slow.peer));
  EXPECT_EQ(frames_, 0);
}

TEST_F(ReverseStreamTest, DestructorTearsDownOpenStreams) {
  Pair first = Connect();
  Pair second = Connect();
  Send(first, Frame(2, "partial").substr(0, 8));
  RunOnce();
  inbound_.reset();
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
