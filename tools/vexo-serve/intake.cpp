#include "intake.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netdb.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace vexo::serve {

namespace {

using Clock = std::chrono::steady_clock;

// Workers beyond the connection cap: they take the connections past the
// caps, answer the probes among them and refuse the rest.
constexpr size_t kSpareWorkers = 4;
// How long a connection past the caps may take to show its request head:
// a probe sends it at once, and the spare workers must not wait on a flood.
constexpr std::chrono::milliseconds kProbeTime{100};
// How long a write may wait for the client to read (as the library's).
constexpr int kWriteTimeoutMs = 5000;
// A chunk-size line is a hexadecimal number and optional extensions.
constexpr size_t kChunkLineBytes = 1024;
// Waits are cut into slices so that a stopping server is noticed.
constexpr std::chrono::milliseconds kSlice{100};

const char* reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    default: return "Service Unavailable";
  }
}

bool same_name(const std::string& a, const char* b) {
  return std::equal(a.begin(), a.end(), b, b + std::char_traits<char>::length(b),
                    [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == y; });
}

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

std::string peer_address(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
  }
  return text;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    pollfd ready{fd, POLLOUT, 0};
    if (poll(&ready, 1, kWriteTimeoutMs) <= 0) return false;
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Closing a socket with unread bytes resets the connection, and the client
// may lose the answer: the answer is ended first, and a little of what the
// client still sends is read and dropped.
void drain(int fd) {
  shutdown(fd, SHUT_WR);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
  char chunk[16384];
  for (size_t dropped = 0; dropped < (1u << 20) && Clock::now() < deadline;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    dropped += static_cast<size_t>(n);
  }
}

// A request's bytes as the library reads them (a head with plain framing,
// and the whole body), and the connection to write the answer to.
class ReplayStream : public httplib::Stream {
 public:
  ReplayStream(int fd, std::string request) : fd_(fd), request_(std::move(request)) {}
  bool is_readable() const override { return read_ < request_.size(); }
  // Writable, and not closed by the client: a client that left shows as
  // the end of what it sends, which is how a generation learns to stop.
  bool is_writable() const override {
    pollfd ready{fd_, POLLOUT, 0};
    if (poll(&ready, 1, kWriteTimeoutMs) <= 0 || (ready.revents & (POLLERR | POLLHUP)) != 0) return false;
    char next;
    const ssize_t peeked = recv(fd_, &next, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked > 0 || (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
  }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, request_.size() - read_);
    std::copy_n(request_.data() + read_, n, ptr);
    read_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    return write_all(fd_, ptr, size) ? static_cast<ssize_t>(size) : -1;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { address(getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { address(getsockname, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  template <typename Get>
  void address(Get get, std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (get(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
    char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "";
    if (getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
      ip = host;
      port = std::atoi(service);
    }
  }
  const int fd_;
  const std::string request_;
  size_t read_ = 0;
};

// Why reading a request stopped short.
struct Refusal {
  int status;
  std::string message;
};

// The bytes of one connection, read against a deadline.
class Connection {
 public:
  Connection(int fd, const std::atomic<socket_t>& listening) : fd_(fd), listening_(listening) {}

  // Waits until a byte is there; false when the client left, the time is
  // up or the server stops.
  bool wait(Clock::time_point deadline) {
    while (buffer_.empty()) {
      if (!receive(deadline)) return false;
    }
    return true;
  }

  // The head up to its empty line, taken from the buffer; throws a Refusal.
  std::string head(Clock::time_point deadline, size_t limit) {
    for (size_t searched = 0;;) {
      const size_t end = buffer_.find("\r\n\r\n", searched > 3 ? searched - 3 : 0);
      if (end != std::string::npos && end + 4 <= limit) return take(end + 4);
      if (buffer_.size() >= limit) throw Refusal{431, "The request head is over the limit of " + std::to_string(limit) + " bytes"};
      searched = buffer_.size();
      more(deadline);
    }
  }

  std::string body(Clock::time_point deadline, size_t size) {
    while (buffer_.size() < size) more(deadline);
    return take(size);
  }

  // A chunked body, decoded; throws a Refusal past `limit` bytes of data.
  std::string chunked(Clock::time_point deadline, size_t limit) {
    std::string data;
    for (;;) {
      const std::string line = this->line(deadline);
      size_t size = 0;
      const std::string digits = trim(line.substr(0, line.find(';')));
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size, 16);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        throw Refusal{400, "The request's chunked body is malformed"};
      if (size > limit - data.size()) throw Refusal{413, too_large(limit)};
      if (size == 0) break;
      data += body(deadline, size);
      if (!this->line(deadline).empty()) throw Refusal{400, "The request's chunked body is malformed"};
    }
    size_t trailers = 0;
    for (std::string line; !(line = this->line(deadline)).empty();) {
      if ((trailers += line.size()) > kChunkLineBytes) throw Refusal{431, "The request's trailers are too long"};
    }
    return data;
  }

  static std::string too_large(size_t limit) {
    return "The request body is over the limit of " + std::to_string(limit) + " bytes";
  }

 private:
  bool fill() {
    char chunk[16384];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  // Reads what comes before the deadline; false when nothing will.
  bool receive(Clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || listening_ == INVALID_SOCKET) return false;
      pollfd ready{fd_, POLLIN, 0};
      const int n = poll(&ready, 1, static_cast<int>(std::min(left, kSlice).count()));
      if (n < 0 && errno != EINTR) return false;
      if (n > 0) return fill();
    }
  }
  // More bytes before the deadline, or a Refusal: 408, or none to send
  // when the client left or the server stops.
  void more(Clock::time_point deadline) {
    if (receive(deadline)) return;
    if (Clock::now() >= deadline) throw Refusal{408, "The request did not arrive in time"};
    throw Refusal{0, ""};
  }
  std::string line(Clock::time_point deadline) {
    for (;;) {
      const size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string text = take(end + 2);
        text.resize(end);
        return text;
      }
      if (buffer_.size() > kChunkLineBytes) throw Refusal{400, "The request's chunked body is malformed"};
      more(deadline);
    }
  }
  std::string take(size_t n) {
    std::string text = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return text;
  }
  const int fd_;
  const std::atomic<socket_t>& listening_;
  std::string buffer_;
};

// A request head: the request line, the headers to pass on, and what the
// intake reads from them.
struct Head {
  std::string method, path;
  std::string lines;  // the request line and the headers but the framing ones
  std::string authorization;
  std::optional<size_t> content_length;
  bool chunked = false;
  bool expects_continue = false;
};

Head parse_head(const std::string& text) {
  const Refusal bad{400, "The request head is malformed"};
  Head head;
  size_t at = text.find("\r\n");
  const std::string request_line = text.substr(0, at);
  const size_t space = request_line.find(' '), last = request_line.rfind(' ');
  if (space == std::string::npos || last == space) throw bad;
  head.method = request_line.substr(0, space);
  const std::string target = request_line.substr(space + 1, last - space - 1);
  head.path = target.substr(0, target.find('?'));
  head.lines = request_line + "\r\n";
  for (at += 2; at + 2 < text.size();) {
    const size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) throw bad;
    const std::string name = line.substr(0, colon), value = trim(line.substr(colon + 1));
    if (same_name(name, "content-length")) {
      size_t length = 0;
      const auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), length);
      if (value.empty() || error != std::errc() || stop != value.data() + value.size() ||
          (head.content_length && *head.content_length != length))
        throw bad;
      head.content_length = length;
    } else if (same_name(name, "transfer-encoding")) {
      if (!same_name(value, "chunked")) throw Refusal{400, "Only the chunked transfer encoding is supported"};
      head.chunked = true;
    } else if (same_name(name, "expect")) {
      head.expects_continue = same_name(value, "100-continue");
    } else {
      if (same_name(name, "authorization")) head.authorization = value;
      head.lines += line + "\r\n";
    }
  }
  if (head.chunked && head.content_length) throw bad;
  return head;
}

}  // namespace

// A connection counted against the caps for as long as it is open.
class HttpServer::Admission {
 public:
  Admission(HttpServer& server, std::string address) : server_(server), address_(std::move(address)) {
    std::lock_guard<std::mutex> lock(server_.mutex_);
    size_t& from_client = server_.clients_[address_];
    if (server_.open_ < server_.limits_.connections && from_client < server_.limits_.connections_per_client) {
      ++server_.open_;
      ++from_client;
      within_ = true;
    } else {
      refusal_ = server_.open_ >= server_.limits_.connections
                     ? "The server has too many connections; try again shortly"
                     : "Too many connections from your address; close some and try again";
      if (from_client == 0) server_.clients_.erase(address_);
    }
  }
  ~Admission() {
    if (!within_) return;
    std::lock_guard<std::mutex> lock(server_.mutex_);
    --server_.open_;
    if (--server_.clients_[address_] == 0) server_.clients_.erase(address_);
  }
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;
  bool within() const { return within_; }
  const std::string& refusal() const { return refusal_; }

 private:
  HttpServer& server_;
  const std::string address_;
  bool within_ = false;
  std::string refusal_;
};

HttpServer::HttpServer(IntakeLimits limits, Gate gate) : limits_(limits), gate_(std::move(gate)) {
  const size_t workers = limits_.connections + kSpareWorkers;
  new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  set_payload_max_length(limits_.body_bytes);
}

void HttpServer::widen_backlog() { ::listen(svr_sock_, SOMAXCONN); }

HttpServer& HttpServer::note(const std::string& method, const std::string& pattern) {
  routes_.emplace_back(method, std::regex(pattern));
  return *this;
}

HttpServer& HttpServer::Get(const std::string& pattern, Handler handler) {
  httplib::Server::Get(pattern, std::move(handler));
  return note("GET", pattern);
}

HttpServer& HttpServer::Post(const std::string& pattern, Handler handler) {
  httplib::Server::Post(pattern, std::move(handler));
  return note("POST", pattern);
}

HttpServer& HttpServer::Put(const std::string& pattern, Handler handler) {
  httplib::Server::Put(pattern, std::move(handler));
  return note("PUT", pattern);
}

HttpServer& HttpServer::Delete(const std::string& pattern, Handler handler) {
  httplib::Server::Delete(pattern, std::move(handler));
  return note("DELETE", pattern);
}

bool HttpServer::routed(const std::string& method, const std::string& path) const {
  if (method == "OPTIONS") return true;
  const std::string& as = method == "HEAD" ? std::string("GET") : method;
  return std::any_of(routes_.begin(), routes_.end(), [&](const auto& route) {
    return route.first == as && std::regex_match(path, route.second);
  });
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  Admission admission(*this, peer_address(sock));
  Connection connection(sock, svr_sock_);
  const auto answer = [&](const std::string& path, const Refusal& refusal) {
    if (refusal.status == 0) return;
    const std::string body = gate_.error_body(path, refusal.status, refusal.message);
    const std::string response = "HTTP/1.1 " + std::to_string(refusal.status) + " " + reason(refusal.status) +
                                 "\r\nContent-Type: application/json\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    // Counted first: a client that reads /metrics after its answer finds it there.
    if (!path.empty()) gate_.count(path, refusal.status);
    write_all(sock, response.data(), response.size());
  };
  bool refused = false;  // answered with what the client had not all sent
  for (size_t served = 0; served < keep_alive_max_count_; ++served) {
    const auto idle = served == 0 ? limits_.request_time : std::chrono::seconds(keep_alive_timeout_sec_);
    if (!connection.wait(Clock::now() + (admission.within() ? idle : kProbeTime))) {
      if (served == 0 && !admission.within()) answer("", {503, admission.refusal()});
      break;
    }
    const Clock::time_point deadline = Clock::now() + (admission.within() ? limits_.request_time : kProbeTime);
    Head head;
    std::string body;
    try {
      head = parse_head(connection.head(deadline, limits_.head_bytes));
      if (!admission.within() && !gate_.probe(head.method, head.path)) throw Refusal{503, admission.refusal()};
      if (!routed(head.method, head.path)) throw Refusal{404, "No endpoint " + head.method + " " + head.path};
      if (auto refusal = gate_.refusal(head.method, head.path, head.authorization))
        throw Refusal{refusal->status, refusal->what()};
      if (head.content_length && *head.content_length > limits_.body_bytes)
        throw Refusal{413, Connection::too_large(limits_.body_bytes)};
      if (head.expects_continue && (head.chunked || head.content_length.value_or(0) > 0)) {
        const char go_on[] = "HTTP/1.1 100 Continue\r\n\r\n";
        write_all(sock, go_on, sizeof go_on - 1);
      }
      if (head.chunked) body = connection.chunked(deadline, limits_.body_bytes);
      if (head.content_length) body = connection.body(deadline, *head.content_length);
    } catch (const Refusal& refusal) {
      const bool slow_past_caps = !admission.within() && refusal.status == 408;
      answer(head.path.empty() ? "other" : head.path, slow_past_caps ? Refusal{503, admission.refusal()} : refusal);
      refused = true;
      break;
    }
    std::string request = head.lines;
    if (head.chunked || head.content_length) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    ReplayStream stream(sock, std::move(request));
    bool closed = false;
    const bool last = served + 1 == keep_alive_max_count_ || !admission.within();
    if (!process_request(stream, last, closed, nullptr) || closed) break;
  }
  if (refused && admission.within()) drain(sock);
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return true;
}

}  // namespace vexo::serve
