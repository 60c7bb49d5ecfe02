// A loopback HTTP proxy between the launcher and a real server (nginx) that
// spoils answers on purpose, each kind at a chosen rate: connections reset,
// answers that stall, bodies cut short, bytes flipped, 5xx statuses and
// Content-Length headers that lie. The launcher is pointed at the proxy as
// at the server itself (its URLs are the server's with the proxy's port).
// Each request is fetched from the server on a fresh connection and spoiled
// whole; client connections are kept alive unless a fault ends them.
// Thread-safe: tests may change the plan while it serves.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace launcher::testing {

enum class Fault {
  None,
  Reset,        // the connection is reset (RST) part-way through the answer
  Stall,        // the answer stops part-way for `stallMs`, then goes on
  Truncate,     // the body ends early and the connection closes
  Flip,         // one byte of the body is changed; lengths stay right
  ServerError,  // 500, 502 or 503 with an empty body instead of the answer
  WrongLength,  // Content-Length larger or smaller than the body sent
};

[[nodiscard]] const char* faultName(Fault fault);

// Each request whose path starts with `pathPrefix` gets at most one fault,
// drawn with these probabilities (their sum at most 1); others pass as they
// are. The same seed gives the same draws in the same order.
struct FaultPlan {
  std::string pathPrefix = "/";
  double reset = 0;
  double stall = 0;
  double truncate = 0;
  double flip = 0;
  double serverError = 0;
  double wrongLength = 0;
  int stallMs = 1500;
  uint32_t seed = 1;
};

class FaultProxy {
 public:
  // Listens on 127.0.0.1 (any free port) once the constructor returns and
  // forwards to 127.0.0.1:upstreamPort.
  FaultProxy(int upstreamPort, FaultPlan plan);
  // Stops listening, ends every connection (a stall included) and joins.
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  [[nodiscard]] int port() const;
  // "http://127.0.0.1:<proxy port>" + path.
  [[nodiscard]] std::string url(const std::string& path) const;

  void setPlan(FaultPlan plan);
  // Requests seen so far, and those given each fault (None: passed whole).
  [[nodiscard]] int requests() const;
  [[nodiscard]] std::map<Fault, int> counts() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace launcher::testing
