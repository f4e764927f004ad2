// The NAT grading's messages from any bytes, both ways: a payload either parses or is refused
// without a crash, and whatever parses is rebuilt into a frame that parses back to the same
// message (unknown keys dropped, the identity kept whole).
//
// Input: the payload.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.h"
#include "wire/GradeProtocol.h"

using palvex::GradeMessage;
using palvex::GradeRequest;

namespace {

std::string PayloadOf(const std::string& frame) {
  return frame.substr(palvex::kFrameHeaderSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);

  GradeRequest request;
  if (palvex::ReadGradeRequest(payload, &request) &&
      request.local.find('\n') == std::string::npos) {
    FUZZ_CHECK(palvex::IsNonce(request.nonce));
    GradeRequest back;
    FUZZ_CHECK(palvex::ReadGradeRequest(PayloadOf(palvex::BuildGradeRequest(request)), &back));
    FUZZ_CHECK(back.nonce == request.nonce && back.mapping_only == request.mapping_only &&
               back.local == request.local && back.identity == request.identity);
  }

  GradeMessage message;
  if (palvex::ReadGradeMessage(payload, &message)) {
    GradeMessage back;
    FUZZ_CHECK(palvex::ReadGradeMessage(PayloadOf(palvex::BuildGradeMessage(message)), &back));
    FUZZ_CHECK(back.kind == message.kind && back.nonce == message.nonce);
    if (message.kind == GradeMessage::kReply) {
      FUZZ_CHECK(back.reply.mapped_addr == message.reply.mapped_addr &&
                 back.reply.isp == message.reply.isp && back.other_port == message.other_port &&
                 back.other_address == message.other_address &&
                 back.tests_other_address == message.tests_other_address &&
                 back.tests_other_port == message.tests_other_port);
    } else {
      FUZZ_CHECK(back.test == message.test && back.outcome == message.outcome &&
                 back.server == message.server);
    }
  }
  return 0;
}
