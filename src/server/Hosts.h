// What a worker's children may ask of the worker, and nothing more: a client session and a
// dial-back each know their host through one of these narrow interfaces, never through the
// worker's class. Every call runs on the worker's loop thread.
#pragma once

#include <cstdint>
#include <string>

#include "server/DetectRecord.h"
#include "server/GradingBook.h"
#include "server/Limits.h"
#include "tovali/log/log_handle.h"

namespace palvexd {

class ClientSession;
class Dialback;

class SessionHost {
 public:
  // The worker's log handle, for the session's own lines.
  virtual const tovali::LogHandle& log() const = 0;
  // A full detection's dial-back slot, taken before anything is promised to the device; false
  // when every slot is in use.
  virtual bool TakeDialbackSlot() = 0;
  virtual Location Locate(const std::string& ip) = 0;
  // By version, and by kind for the ISP code of the device's address.
  virtual void CountRequest(uint16_t version, uint16_t isp) = 0;
  virtual void CountReject(Reject reason) = 0;
  // Counts and logs a connection closed without a reply.
  virtual void Refuse(Reject reason, const std::string& ip, bool ipv4, uint16_t port) = 0;
  // Hands over a full detection's dial-back, which holds the slot taken above.
  virtual void StartDialback(DetectRecord record, const std::string& target_ip,
                             uint16_t target_port, bool ipv4) = 0;
  virtual void WriteRecord(const DetectRecord& record) = 0;
  virtual void CountGradingRequest(bool mapping_only, uint16_t isp) = 0;
  // A grading request: takes a dial-back slot for each test the grading started, holds the
  // grading under its nonce and starts those dial-backs to the observed endpoint; failures are
  // reported to `session` until GradingSessionEnded. False with *reason, nothing taken, when
  // refused.
  virtual bool StartGrading(ClientSession* session, Grading grading, const std::string& target_ip,
                            uint16_t target_port, bool ipv4, Reject* reason) = 0;
  virtual void GradingSessionEnded(const std::string& nonce) = 0;
  // A mapping request; false when no grading of the service holds the nonce.
  virtual bool AddMapping(const std::string& nonce, MappingSlot slot, const std::string& mapped,
                          const std::string& device_local) = 0;
  // Gives back the connection slot and the source admission of `source_ip`.
  virtual void ReleaseConnection(const std::string& source_ip) = 0;
  // The session has ended, as its last act; it is destroyed on a later loop pass.
  virtual void SessionDone(ClientSession* session) = 0;

 protected:
  ~SessionHost() = default;
};

class DialbackHost {
 public:
  // `connect_us` counts for kOk only.
  virtual void CountDialback(DialbackOutcome outcome, uint64_t connect_us, uint16_t isp) = 0;
  virtual void WriteRecord(const DetectRecord& record) = 0;
  // A grading's dial-back decided; it writes no record of its own.
  virtual void GradingDialbackDone(const std::string& nonce, GradingTest test,
                                   DialbackOutcome outcome) = 0;
  virtual void ReleaseDialbackSlot() = 0;
  // The dial-back has ended, as its last act; it is destroyed on a later loop pass.
  virtual void DialbackDone(Dialback* dialback) = 0;

 protected:
  ~DialbackHost() = default;
};

}  // namespace palvexd
