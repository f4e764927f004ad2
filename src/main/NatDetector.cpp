#include "main/NatDetector.h"

#include <utility>

#include "main/DetectMessage.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"

namespace palvex {
namespace {

constexpr int kOtherAddressTest = 0;
constexpr int kOtherPortTest = 1;

DialbackTest& TestSlot(NatObservation* seen, int test) {
  return test == kOtherAddressTest ? seen->from_other_address : seen->from_other_port;
}

int TestIndex(const std::string& name) {
  return name == kTestOtherAddress ? kOtherAddressTest : kOtherPortTest;
}

}  // namespace

NatDetector::NatDetector(ReverseConfig config)
    : ServerProbe(std::move(config), "[NAT]"), nonce_(MakeNonce()) {
  inbound_ = std::make_unique<InboundStreams>(loop_.base(), log_.tag());
  inbound_->on_message = [this](const std::string& from, uint16_t version,
                                const std::string& payload) {
    HLOG_INFO(log_, "dial-back frame from %s", from.c_str());
    OnDialback(version, payload);
  };
  wait_timer_.Init(loop_.base(), [this] {
    HLOG_INFO(log_, "filtering wait over");
    EndWait();
  });
  wait_timer_.Start(static_cast<uint64_t>(config_.timeout) * kWaitPercent / 100, 0);
}

NatDetector::~NatDetector() {
  deferred_.Clear();
  for (Query& query : queries_)
    query.stream.reset();
  StopProbe();
  inbound_.reset();
  Report();
}

void NatDetector::OnServerChosen() {
  Ask(0, server_ip_, config_.port);
}

void NatDetector::OnAccept(tovali::TcpStream* stream) {
  inbound_->Add(stream);
}

void NatDetector::Ask(int index, const std::string& ip, uint16_t port) {
  Query& query = queries_[index];
  query.asked = true;
  query.reader = std::make_unique<FrameReader>(kMaxMessage);
  query.stream = NewSender();
  query.stream->on_open = [this, index] { OnQueryOpen(index); };
  query.stream->on_data = [this, index](const char* data, size_t len) {
    return OnQueryData(index, data, len);
  };
  query.stream->on_error = [this, index](int code) {
    HLOG_ERROR(log_, "query %d error: %d", index, code);
    EndQuery(index);
  };
  HLOG_INFO(log_, "query %d connect '%s'", index, FormatAddress(ip, config_.ipv6, port).c_str());
  int code = query.stream->Connect(ip, port);
  if (code != 0) {
    HLOG_ERROR(log_, "query %d connect failed: %d", index, code);
    EndQuery(index);
  }
}

void NatDetector::OnQueryOpen(int index) {
  Query& query = queries_[index];
  query.local = FormatAddress(query.stream->LocalIp(), config_.ipv6, query.stream->LocalPort());
  GradeRequest request;
  request.nonce = nonce_;
  request.mapping_only = index != 0;
  request.local = query.local;
  request.identity = hostname_;
  HLOG_INFO(log_, "query %d open from %s, send %s request", index, query.local.c_str(),
            request.mapping_only ? "mapping" : "grading");
  if (query.stream->Send(BuildGradeRequest(request)) != 0)
    EndQuery(index);
}

int NatDetector::OnQueryData(int index, const char* data, size_t len) {
  while (len > 0) {
    Query& query = queries_[index];
    size_t used = 0;
    FrameReader::Status status = query.reader->Feed(data, len, &used);
    data += used;
    len -= used;
    if (status == FrameReader::kNeedMore)
      return 0;
    GradeMessage message;
    bool ok = status == FrameReader::kComplete && query.reader->version() == kGradeVersion &&
              ReadGradeMessage(query.reader->payload(), &message) && message.nonce == nonce_;
    if (!ok || !OnMessage(index, message)) {
      HLOG_ERROR(log_, "query %d: not a grading message, parts it would decide stay unknown",
                 index);
      EndQuery(index);
      return -1;
    }
    if (queries_[index].done)
      return -1;
    queries_[index].reader = std::make_unique<FrameReader>(kMaxMessage);
  }
  return 0;
}

bool NatDetector::OnMessage(int index, const GradeMessage& message) {
  if (message.kind == GradeMessage::kReply) {
    if (index != 0) {
      HLOG_INFO(log_, "query %d: mapped %s", index, message.reply.mapped_addr.c_str());
      seen_.mapped[index] = message.reply.mapped_addr;
      seen_.local[index] = queries_[index].local;
      EndQuery(index);
      return true;
    }
    if (replied_)
      return false;
    replied_ = true;
    reply_ = message;
    seen_.mapped[0] = message.reply.mapped_addr;
    seen_.local[0] = queries_[0].local;
    HLOG_INFO(log_, "grading reply: mapped %s, other %s port %u, tests%s%s",
              message.reply.mapped_addr.c_str(), message.other_address.c_str(), message.other_port,
              message.tests_other_address ? " other-address" : "",
              message.tests_other_port ? " other-port" : "");
    if (!message.other_address.empty()) {
      seen_.other_address = true;
      const bool family = config_.ipv6 ? tovali::IsIPv6(message.other_address)
                                       : tovali::IsIPv4(message.other_address);
      if (family && IsPublicAddress(message.other_address, config_.ipv6))
        other_ip_ = message.other_address;
      else
        HLOG_WARN(log_, "other address %s is not public: not contacted",
                  message.other_address.c_str());
    }
    const bool started[2] = {message.tests_other_address, message.tests_other_port};
    for (int test = 0; test < 2; ++test) {
      if (started[test])
        TestSlot(&seen_, test) = arrived_[test] ? DialbackTest::kArrived : DialbackTest::kPending;
    }
    if (waiting_) {
      EndWaitIfDecided();
    } else {
      // A reply later than the wait: its tests stay undecided, the mapping is asked at once.
      StartMapping();
    }
    return true;
  }
  if (message.kind == GradeMessage::kFailed && index == 0 && replied_) {
    HLOG_INFO(log_, "dial-back %s failed: %s", message.test.c_str(), message.outcome.c_str());
    Decide(TestIndex(message.test), DialbackTest::kNotArrived);
    return true;
  }
  return false;
}

void NatDetector::OnDialback(uint16_t version, const std::string& payload) {
  GradeMessage message;
  if (version != kGradeVersion || !ReadGradeMessage(payload, &message) ||
      message.kind != GradeMessage::kDialback || message.nonce != nonce_) {
    HLOG_WARN(log_, "inbound frame is not this grading's dial-back");
    return;
  }
  const int test = TestIndex(message.test);
  arrived_[test] = true;
  Decide(test, DialbackTest::kArrived);
}

void NatDetector::Decide(int test, DialbackTest state) {
  DialbackTest& slot = TestSlot(&seen_, test);
  // Only a pending test changes: a decided fact stays, and one the reply did not start waits
  // for the reply (an early arrival is kept in arrived_).
  if (!waiting_ || slot != DialbackTest::kPending)
    return;
  slot = state;
  EndWaitIfDecided();
}

void NatDetector::EndWaitIfDecided() {
  if (seen_.from_other_address != DialbackTest::kPending &&
      seen_.from_other_port != DialbackTest::kPending)
    EndWait();
}

void NatDetector::EndWait() {
  if (!waiting_)
    return;
  waiting_ = false;
  wait_timer_.Stop();
  for (int test = 0; test < 2; ++test) {
    if (TestSlot(&seen_, test) == DialbackTest::kPending)
      TestSlot(&seen_, test) = DialbackTest::kNotArrived;
  }
  if (replied_)
    StartMapping();
}

void NatDetector::StartMapping() {
  const uint16_t other_port = reply_.other_port;
  asking_ = true;  // a query failing at once must not end the run before the next is asked
  if (!other_ip_.empty()) {
    Ask(1, other_ip_, config_.port);
    if (other_port != 0)
      Ask(2, other_ip_, other_port);
  } else if (reply_.other_address.empty() && other_port != 0) {
    Ask(2, server_ip_, other_port);
  }
  asking_ = false;
  // The grading connection has done its part.
  EndQuery(0);
  EndIfAnswered();
}

void NatDetector::EndQuery(int index) {
  Query& query = queries_[index];
  if (query.done)
    return;
  query.done = true;
  if (query.stream) {
    query.stream->Close(0);
    deferred_.DeleteSoon(std::move(query.stream));
  }
  if (index == 0 && !replied_) {
    ExitLoop();  // no reply will come: nothing else can be decided
    return;
  }
  if (!waiting_)
    EndIfAnswered();
}

void NatDetector::EndIfAnswered() {
  if (asking_)
    return;
  for (int index = 1; index < 3; ++index) {
    if (queries_[index].asked && !queries_[index].done)
      return;
  }
  ExitLoop();
}

void NatDetector::Report() {
  seen_.listen_port = listen_port_;
  NatVerdict verdict = ClassifyNat(seen_);
  NatReport report;
  report.nic = config_.nic;
  report.ipv6 = config_.ipv6;
  report.ip = config_.ip;
  report.listen_port = listen_port_;
  report.server = FormatAddress(server_ip_, config_.ipv6, config_.port);
  if (!reply_.other_address.empty()) {
    report.other = FormatAddress(reply_.other_address, config_.ipv6,
                                 reply_.other_port != 0 ? reply_.other_port : config_.port);
  } else if (reply_.other_port != 0) {
    report.other = FormatAddress(server_ip_, config_.ipv6, reply_.other_port);
  }
  for (int i = 0; i < 3; ++i)
    report.mapped[i] = seen_.mapped[i];
  report.country = reply_.reply.country;
  report.province = reply_.reply.province;
  report.city = reply_.reply.city;
  report.isp = reply_.reply.isp;
  report.verdict = verdict;
  report.timestamp = tovali::RealTimeSeconds();
  std::string json = BuildNatRecord(report);
  Publish(json, report.isp, "nat");
}

}  // namespace palvex
