// The viewer's HTTP/1.1 server: one event loop thread holds every connection,
// so idle, slow and streaming clients cost a little memory each, never a
// thread; a small pool runs the handlers that need a request's body. Every
// limit is an option here; the server counts each refusal.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http_request.hpp"

namespace mokctl::view {

struct HttpResponse {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // An event stream: the server keeps the connection and sends it what is
  // published, while fewer than `max_streams` are open.
  bool stream = false;
};

struct HttpServerOptions {
  std::string listen = "127.0.0.1";
  int port = 0;  // 0: a free one
  HttpLimits limits;
  int backlog = 4096;                             // the kernel caps it at its somaxconn
  std::size_t max_connections = 512;              // beyond it the oldest idle connection makes room
  std::size_t max_per_address = 128;              // likewise, among one address's connections
  std::size_t max_streams = 8;                    // event streams open at once
  std::size_t stream_queue = 4;                   // messages waiting per stream; the oldest go first
  int stream_send_buffer = 256 * 1024;            // the kernel's buffer per stream, so that it too is bounded
  std::size_t big_body = 1 << 20;                 // responses above this size are big...
  std::size_t max_big = 2;                        // ...and at most this many are built or sent at once
  std::chrono::milliseconds head_timeout{5000};   // a request's head and body, from the first wait
  std::chrono::milliseconds write_timeout{5000};  // one response or stream message
  std::chrono::milliseconds heartbeat{1000};      // a comment on a quiet stream finds vanished pages
  int workers = 2;                                // threads for handlers that read bodies
  std::string streams_full = "{}";                // the 503 body beyond `max_streams`
};

struct HttpCounters {
  std::uint64_t connections = 0;          // accepted
  std::uint64_t requests = 0;             // heads read whole
  std::uint64_t evicted_idle = 0;         // idle connections closed to make room
  std::uint64_t refused_connections = 0;  // closed at once: no room and nothing idle
  std::uint64_t timed_out = 0;            // closed for slowness
  std::uint64_t refused_malformed = 0;    // 400, 501, 505
  std::uint64_t refused_head_size = 0;    // 431
  std::uint64_t refused_url_size = 0;     // 414
  std::uint64_t refused_body_size = 0;    // 413, before the body was read
  std::uint64_t refused_streams = 0;      // 503 beyond the open streams allowed
  std::uint64_t refused_busy = 0;         // 503 beyond the big responses allowed
  std::uint64_t stream_drops = 0;         // messages let go for streams that read too slowly
  std::uint64_t open_connections = 0, open_streams = 0;
};

// Called by the server; `screen` on its event loop thread (it must not wait),
// `handle` on a pool thread.
class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // Before the body is read: a response here ends the request (refusals, the
  // page's files, event streams); nothing lets `handle` have it with its body.
  virtual std::optional<HttpResponse> screen(const HttpRequest& req, const std::string& peer) = 0;
  virtual HttpResponse handle(const HttpRequest& req, const std::string& body) = 0;
};

class HttpServer {
 public:
  // Binds; throws std::system_error when it cannot.
  HttpServer(HttpHandler& handler, HttpServerOptions options);
  // Serves from here on: the handler is called from now.
  void start();
  // Closes every connection and joins the threads; `handler` is not called after.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const;
  // Queues `message` (an event's whole text) for every open stream; any thread.
  void publish(std::string message);
  HttpCounters counters() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace mokctl::view
