// Marshalling between the boundary's request and response records and the
// host's Call and Answer: requests a plugin sends are read without trusting
// the record, requests for an endpoint are laid out in memory the host owns
// for the length of the call, and answers go out as host-owned responses,
// long JSON as a stream (FillResponse and ReadResponse are in host.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host.h"
#include "host_value.h"
#include "kiv_plugin.h"

namespace kivhost {

// Fills an error response with status 500 and `text`; when even that cannot
// be had, one with the error flag and status alone. Never throws.
void FillFailure(HostResponse* response, const std::string& text) noexcept;

// Why a request a plugin sent cannot be routed; no text when it can.
struct RequestProblem {
  int status = 400;
  std::string text;
};

// Reads a request record a plugin filled into `call`, within the host's
// bounds on its URL, method text, items and headers. What could be read is
// in `call` even when a problem is returned, for the record of the request.
[[nodiscard]] RequestProblem ReadRequest(const HostRequest* request, Call* call);

// A call laid out as the request record an endpoint reads. The record points
// into this object, which therefore is neither copied nor moved.
class OutgoingRequest {
 public:
  OutgoingRequest(const Call& call, const void* endpointContext, uint32_t hostToken);
  OutgoingRequest(const OutgoingRequest&) = delete;
  OutgoingRequest& operator=(const OutgoingRequest&) = delete;

  HostRequest* get() { return &request_; }

 private:
  std::vector<OwnedHostValue> values_;
  std::vector<HostParameterItem> items_;
  std::vector<HostHeader> headers_;
  HostRequest request_{};
};

}  // namespace kivhost
