// How requests come in: the HTTP server whose connections are read by the
// server's own bounded reader before the HTTP library routes them. Every
// request head and body arrives within a time limit and a size limit, the
// head is checked (path, method, API key) before any body is read, a
// chunked body is counted against the body limit as it is read, and the
// connections per client address and in total are capped, with threads to
// spare so that the health and metrics probes are answered through a flood.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "requests.h"

namespace vexo::serve {

struct IntakeLimits {
  size_t head_bytes = 64 << 10;  // request line and headers (431 beyond)
  size_t body_bytes = 1 << 20;   // the body, however framed (413 beyond)
  // From a request's first byte to its last (408 beyond).
  std::chrono::milliseconds request_time{10000};
  size_t connections = 72;             // in total (503 beyond)
  size_t connections_per_client = 32;  // from one address (503 beyond)
};

// What the service decides from a request's head alone.
struct Gate {
  // The error to answer without reading the body (an unknown path or
  // method, a missing or wrong API key), or none.
  std::function<std::optional<ApiError>(const std::string& method, const std::string& path,
                                        const std::string& authorization)>
      refusal;
  // Requests served even on a connection over the caps: the probes.
  std::function<bool(const std::string& method, const std::string& path)> probe;
  // The JSON body of an error the intake answers itself, in the protocol
  // of the path ("" when the head never named one).
  std::function<std::string(const std::string& path, int status, const std::string& message)> error_body;
  // Counts a request the intake answered itself.
  std::function<void(const std::string& path, int status)> count;
};

class HttpServer : public httplib::Server {
 public:
  // The HTTP library's workers: one per connection within the caps, and a
  // few more for the probes and the refusals past them.
  HttpServer(IntakeLimits limits, Gate gate);
  // Room for bursts of connections: the library listens with a backlog of
  // 5, and the kernel drops or resets connections beyond it that a burst
  // of clients opens before they are accepted.
  void widen_backlog();

  // The library's ways of adding an endpoint, which also note its method
  // and path: a request for none is refused from its head (404).
  HttpServer& Get(const std::string& pattern, Handler handler);
  HttpServer& Post(const std::string& pattern, Handler handler);
  HttpServer& Put(const std::string& pattern, Handler handler);
  HttpServer& Delete(const std::string& pattern, Handler handler);

 private:
  class Admission;
  bool process_and_close_socket(socket_t sock) override;
  HttpServer& note(const std::string& method, const std::string& pattern);
  // Whether an endpoint takes the method and path; OPTIONS are left to the
  // library.
  bool routed(const std::string& method, const std::string& path) const;
  const IntakeLimits limits_;
  std::vector<std::pair<std::string, std::regex>> routes_;
  const Gate gate_;
  std::mutex mutex_;
  size_t open_ = 0;                        // connections within the caps
  std::map<std::string, size_t> clients_;  // of those, by address
};

}  // namespace vexo::serve
