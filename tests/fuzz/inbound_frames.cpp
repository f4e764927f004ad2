// Inbound frame reassembly: arbitrary bytes, cut into arbitrary chunks, arrive on up to four
// connections of the detector's inbound set. Checked against a plain model of the protocol: the
// first connection to complete a frame is the one reported, exactly once, and at that very
// chunk; a header announcing too much payload, or the peer closing first, drops only that
// connection; nothing more is reported after the first frame.
//
// Input: a byte giving the number of connections (1..4), then operations. Each operation is a
// byte (low two bits: the connection; bit 7: the peer closes its side instead of sending) and, to
// send, a length byte and that many bytes (fewer at the end of the input).
#include <event2/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "main/InboundStreams.h"
#include "main/ReverseStream.h"
#include "tovali/Network/event_loop.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/logger.h"
#include "tovali/log/sinker.h"

namespace {

// Discards lines, so that the detector's log statements (payloads included) are formatted.
class NullSink : public tovali::Sinker {
 public:
  NullSink() : Sinker("%v") {}
  void Write(int, const char*, const tovali::LogTime*, tovali::LogBuffer*) override {}
};

// What the protocol says one connection has become after the bytes sent so far.
struct Model {
  std::string bytes;
  bool open = true;
  bool framed = false;

  FUZZ_CHECKER void Add(const std::string& more) {
    bytes += more;
    if (bytes.size() < 6)
      return;
    const uint32_t length = (uint32_t{static_cast<uint8_t>(bytes[2])} << 24) |
                            (uint32_t{static_cast<uint8_t>(bytes[3])} << 16) |
                            (uint32_t{static_cast<uint8_t>(bytes[4])} << 8) |
                            uint32_t{static_cast<uint8_t>(bytes[5])};
    if (length > palvex::ReverseStream::kMaxFramePayload)
      open = false;
    else if (bytes.size() >= 6 + uint64_t{length})
      framed = true;
  }
};

tovali::EventLoop& Loop() {
  static tovali::EventLoop* loop = [] {
    auto* l = new tovali::EventLoop();
    l->Create(0);
    tovali::SetLogSinkers({std::make_shared<NullSink>()});
    tovali::SetLogLevel(tovali::kLogDebug);
    return l;
  }();
  return *loop;
}

// Lets the loop handle everything that is ready, deferred releases included.
void Settle() {
  for (int i = 0; i < 3; ++i)
    event_base_loop(Loop().base(), EVLOOP_NONBLOCK);
}

std::string AddressOf(size_t index) {
  return "192.0.2." + std::to_string(index + 1) + ":" + std::to_string(4000 + index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  const size_t count = 1 + data[0] % 4;
  event_base* base = Loop().base();
  auto inbound = std::make_unique<palvex::InboundStreams>(base, "[DTR]");
  std::vector<std::string> reported;
  inbound->on_frame = [&reported](const std::string& addr) { reported.push_back(addr); };

  std::vector<int> peers(count, -1);
  std::vector<Model> models(count);
  for (size_t i = 0; i < count; ++i) {
    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0);
    peers[i] = pair[0];
    auto* stream = new tovali::TcpStream(base, true);
    FUZZ_CHECK(stream->Accept(pair[1], "192.0.2." + std::to_string(i + 1),
                              static_cast<uint16_t>(4000 + i)) == 0);
    inbound->Add(stream);
  }

  std::string first;  // the model's first frame
  size_t pos = 1;
  while (pos < size && first.empty()) {
    const uint8_t op = data[pos++];
    const size_t index = op & 3u;
    if (index >= count)
      continue;
    Model& model = models[index];
    if (op & 0x80) {
      shutdown(peers[index], SHUT_WR);
      model.open = false;
    } else if (pos < size) {
      size_t len = data[pos++];
      len = len < size - pos ? len : size - pos;
      const std::string chunk(reinterpret_cast<const char*>(data) + pos, len);
      pos += len;
      if (model.open && !model.framed &&
          send(peers[index], chunk.data(), len, MSG_NOSIGNAL) != static_cast<ssize_t>(len))
        continue;  // the set already closed it: nothing was delivered
      if (model.open && !model.framed)
        model.Add(chunk);
      if (model.framed)
        first = AddressOf(index);
    }
    Settle();
    // Reported exactly when the model completes its first frame, and by that connection.
    FUZZ_CHECK(reported.size() == (first.empty() ? 0u : 1u));
    if (!first.empty())
      FUZZ_CHECK(reported[0] == first);
  }

  // Every dropped or finished connection is closed towards its peer.
  size_t open = 0;
  for (size_t i = 0; i < count; ++i) {
    char byte;
    const ssize_t n = recv(peers[i], &byte, 1, MSG_DONTWAIT);
    const bool closed = n == 0 || (n < 0 && errno != EAGAIN);
    if (!models[i].open || models[i].framed)
      FUZZ_CHECK(closed);
    open += models[i].open && !models[i].framed;
  }
  FUZZ_CHECK(inbound->size() == open);

  inbound.reset();
  Settle();
  for (int fd : peers)
    close(fd);
  FUZZ_CHECK(reported.size() <= 1);
  return 0;
}
