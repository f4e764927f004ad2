// The STUN parser from any datagram: it never reads past the datagram, and what palvexd answers
// a request it took (success or 420) parses back as a response to that very transaction.
//
// Input: the datagram.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.h"
#include "wire/Stun.h"

namespace stun = palvex::stun;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  stun::Message request;
  const int result = stun::Parse(data, size, &request);
  FUZZ_CHECK(result == stun::kParsed || result == stun::kNotStun ||
             result == stun::kBadFingerprint);
  if (result != stun::kParsed || request.type != stun::kBindingRequest)
    return 0;
  stun::Address source;
  source.present = true;
  source.port = 50123;
  source.ip[0] = 203;
  for (const std::string& answer : {stun::BuildSuccess(request, source, source, stun::Address()),
                                    stun::BuildError(request, 420, request.unknown_required)}) {
    stun::Message back;
    FUZZ_CHECK(stun::Parse(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), &back) ==
               stun::kParsed);
    FUZZ_CHECK(back.transaction == request.transaction && back.classic == request.classic);
  }
  return 0;
}
