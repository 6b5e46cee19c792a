// HttpServer on Asio: a coroutine per connection on one event loop thread.
// Each connection has one deadline timer (a head, a body or a write must end
// by it) and sits on the idle list while it waits for a request head, which
// is where room is taken from when the connection limits are reached.
#include "http_server.hpp"

#include <atomic>
#include <cstdio>
#include <deque>
#include <list>
#include <thread>
#include <unordered_map>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

namespace mokctl::view {
namespace {

using asio::awaitable;
using asio::use_awaitable;
using asio::experimental::as_tuple;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return status < 400 ? "OK" : "Error";
  }
}

std::string response_head(const HttpResponse& r, bool keep_alive) {
  std::string h = "HTTP/1.1 " + std::to_string(r.status) + ' ' + reason_phrase(r.status) + "\r\n";
  h += "Content-Type: " + r.type + "\r\n";
  for (const auto& [name, value] : r.headers) h += name + ": " + value + "\r\n";
  if (r.stream) {
    h += "Transfer-Encoding: chunked\r\n";
  } else {
    h += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  }
  if (!keep_alive) h += "Connection: close\r\n";
  return h + "\r\n";
}

HttpResponse error_response(int status, const std::string& sentence) {
  std::string body = "{\"error\":\"";
  for (char c : sentence) {
    if (c == '"' || c == '\\') body += '\\';
    body += c;
  }
  return {status, "application/json", body + "\"}", {}, false};
}

void log_failure(std::exception_ptr e) {
  if (!e) return;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    std::fprintf(stderr, "mokctl view: a connection failed: %s\n", x.what());
  } catch (...) {
    std::fprintf(stderr, "mokctl view: a connection failed\n");
  }
}

}  // namespace

struct Connection {
  Connection(tcp::socket s, std::string p)
      : sock(std::move(s)), deadline(sock.get_executor()), peer(std::move(p)) {}
  tcp::socket sock;
  asio::steady_timer deadline;
  std::string peer;
  std::optional<std::list<Connection*>::iterator> idle;  // on the idle list while waiting for a head
  std::list<Connection*>::iterator all;
};

struct Stream {
  explicit Stream(const asio::any_io_executor& ex) : wake(ex) {}
  std::deque<std::shared_ptr<const std::string>> queue;
  asio::steady_timer wake;  // cancelled when a message is queued
};

struct HttpServer::Impl {
  HttpHandler& handler;
  const HttpServerOptions o;
  // Touched only on the event loop thread.
  std::list<Connection*> idle, all;
  std::unordered_map<std::string, std::size_t> per_address;
  std::list<Stream*> streams;
  bool stopping = false;
  std::size_t big_in_flight = 0;
  struct {
    std::atomic<std::uint64_t> connections{0}, requests{0}, evicted_idle{0}, refused_connections{0}, timed_out{0},
        malformed{0}, head_size{0}, url_size{0}, body_size{0}, streams{0}, busy{0}, stream_drops{0},
        open_connections{0}, open_streams{0};
  } n;
  asio::thread_pool pool;
  // Last: destroyed first, with the coroutine frames it still holds.
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  std::thread thread;
  int port = 0;

  Impl(HttpHandler& h, HttpServerOptions opts)
      : handler(h), o(std::move(opts)), pool(static_cast<std::size_t>(std::max(1, o.workers))) {}

  void arm(const std::shared_ptr<Connection>& c, std::chrono::milliseconds after) {
    c->deadline.expires_after(after);
    c->deadline.async_wait([this, w = std::weak_ptr<Connection>(c)](std::error_code ec) {
      auto held = w.lock();
      // A re-armed timer can still deliver an expiry queued just before: the
      // deadline itself says whether it passed.
      if (ec || !held || held->deadline.expiry() > Clock::now()) return;
      ++n.timed_out;
      close(*held);
    });
  }

  static void close(Connection& c) {
    std::error_code ignored;
    c.sock.shutdown(tcp::socket::shutdown_both, ignored);
    c.sock.close(ignored);
  }

  void set_idle(Connection& c, bool on) {
    if (on && !c.idle) c.idle = idle.insert(idle.end(), &c);
    if (!on && c.idle) {
      idle.erase(*c.idle);
      c.idle.reset();
    }
  }

  // Closes the oldest connection waiting for a head (of `peer`, when given).
  bool evict(const std::string* peer) {
    for (Connection* c : idle) {
      if (peer && c->peer != *peer) continue;
      set_idle(*c, false);
      close(*c);
      ++n.evicted_idle;
      return true;
    }
    return false;
  }

  awaitable<void> accept_loop() {
    asio::steady_timer pause(io);
    while (!stopping) {
      auto [ec, sock] = co_await acceptor.async_accept(as_tuple(use_awaitable));
      if (ec == asio::error::operation_aborted || stopping) co_return;
      if (ec) {
        // Out of descriptors: free one and let the kernel's queue wait briefly.
        if (ec == asio::error::no_descriptors) evict(nullptr);
        pause.expires_after(std::chrono::milliseconds(5));
        co_await pause.async_wait(as_tuple(use_awaitable));
        continue;
      }
      std::error_code e2;
      std::string peer = sock.remote_endpoint(e2).address().to_string();
      if (e2) continue;
      if ((per_address[peer] >= o.max_per_address && !evict(&peer)) ||
          (all.size() >= o.max_connections && !evict(nullptr))) {
        ++n.refused_connections;
        if (per_address[peer] == 0) per_address.erase(peer);
        continue;  // the socket closes as it goes
      }
      ++n.connections;
      auto c = std::make_shared<Connection>(std::move(sock), std::move(peer));
      // Counted here, not when its coroutine starts, so that a burst sees itself.
      c->all = all.insert(all.end(), c.get());
      ++per_address[c->peer];
      ++n.open_connections;
      set_idle(*c, true);
      asio::co_spawn(io, serve(std::move(c)), log_failure);
    }
  }

  awaitable<void> serve(std::shared_ptr<Connection> c) {
    struct Leave {
      Impl& m;
      Connection& c;
      ~Leave() {
        m.set_idle(c, false);
        m.all.erase(c.all);
        if (--m.per_address[c.peer] == 0) m.per_address.erase(c.peer);
        --m.n.open_connections;
      }
    } leave{*this, *c};
    std::string buf;
    for (;;) {
      // The head: on the idle list, with one deadline for all of it however it trickles in.
      set_idle(*c, true);
      arm(c, o.head_timeout);
      std::size_t end = 0;
      while ((end = head_end(buf)) == 0) {
        if (buf.size() > o.limits.head) break;
        char chunk[4096];
        auto [ec, got] = co_await c->sock.async_read_some(asio::buffer(chunk), as_tuple(use_awaitable));
        if (ec) co_return;
        buf.append(chunk, got);
      }
      set_idle(*c, false);
      ParsedHead parsed = end ? parse_head(std::string_view(buf).substr(0, end), o.limits)
                              : ParsedHead{std::nullopt, {431, "The request's headers are too large."}};
      if (!parsed.request) {
        count_refusal(parsed.refusal.status);
        co_await send(c, error_response(parsed.refusal.status, parsed.refusal.reason), false);
        co_return;
      }
      ++n.requests;
      HttpRequest& req = *parsed.request;
      buf.erase(0, end);
      std::optional<HttpResponse> early = handler.screen(req, c->peer);
      if (early && early->stream && streams.size() >= o.max_streams) {
        ++n.streams;
        early = HttpResponse{503, "application/json", o.streams_full, {}, false};
        req.keep_alive = false;
      }
      if (early && early->stream) {
        co_await stream(c, std::move(*early));
        co_return;
      }
      HttpResponse res;
      if (early) {
        res = std::move(*early);
        // The body was never wanted: skip it when it is here, or end with the reply.
        if (buf.size() >= req.content_length) {
          buf.erase(0, req.content_length);
        } else {
          req.keep_alive = false;
        }
      } else {
        while (buf.size() < req.content_length) {
          char chunk[4096];
          auto [ec, got] = co_await c->sock.async_read_some(asio::buffer(chunk), as_tuple(use_awaitable));
          if (ec) co_return;
          buf.append(chunk, got);
        }
        c->deadline.cancel();
        std::string body = buf.substr(0, req.content_length);
        buf.erase(0, req.content_length);
        res = co_await asio::co_spawn(pool, run_handler(req, body), use_awaitable);
      }
      bool counted = false;
      if (res.body.size() > o.big_body) {
        if (big_in_flight >= o.max_big) {
          ++n.busy;
          res = error_response(503, "The viewer is sending other large files; try again shortly.");
        } else {
          ++big_in_flight;
          counted = true;
        }
      }
      const bool sent = co_await send(c, std::move(res), req.keep_alive);
      if (counted) --big_in_flight;
      if (!sent || !req.keep_alive) co_return;
    }
  }

  awaitable<HttpResponse> run_handler(const HttpRequest& req, const std::string& body) {
    try {
      co_return handler.handle(req, body);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "mokctl view: %s %s failed: %s\n", req.method.c_str(), req.path.c_str(), e.what());
    }
    co_return error_response(500, "The viewer failed on this request.");
  }

  void count_refusal(int status) {
    switch (status) {
      case 431:
        ++n.head_size;
        break;
      case 414:
        ++n.url_size;
        break;
      case 413:
        ++n.body_size;
        break;
      default:
        ++n.malformed;
    }
  }

  awaitable<bool> send(const std::shared_ptr<Connection>& c, HttpResponse res, bool keep_alive) {
    const std::string head = response_head(res, keep_alive);
    arm(c, o.write_timeout);
    auto [ec, sent] = co_await asio::async_write(
        c->sock, std::array<asio::const_buffer, 2>{asio::buffer(head), asio::buffer(res.body)},
        as_tuple(use_awaitable));
    c->deadline.cancel();
    if (!keep_alive) close(*c);
    co_return !ec;
  }

  awaitable<void> stream(const std::shared_ptr<Connection>& c, HttpResponse res) {
    c->deadline.cancel();
    std::error_code ignored;
    c->sock.set_option(asio::socket_base::send_buffer_size(o.stream_send_buffer), ignored);
    Stream s(io.get_executor());
    auto at = streams.insert(streams.end(), &s);
    ++n.open_streams;
    struct Leave {
      Impl& m;
      std::list<Stream*>::iterator at;
      ~Leave() {
        m.streams.erase(at);
        --m.n.open_streams;
      }
    } leave{*this, at};
    const std::string head = response_head(res, false);
    arm(c, o.write_timeout);
    auto [ec, sent] = co_await asio::async_write(c->sock, asio::buffer(head), as_tuple(use_awaitable));
    while (!ec && !stopping) {
      if (s.queue.empty()) {
        s.wake.expires_after(o.heartbeat);
        co_await s.wake.async_wait(as_tuple(use_awaitable));
        if (stopping) break;
      }
      std::shared_ptr<const std::string> message;
      if (s.queue.empty()) {
        static const auto kHeartbeat = std::make_shared<const std::string>(": still here\n\n");
        message = kHeartbeat;
      } else {
        message = std::move(s.queue.front());
        s.queue.pop_front();
      }
      char size[24];
      const int len = std::snprintf(size, sizeof size, "%zx\r\n", message->size());
      arm(c, o.write_timeout);
      std::tie(ec, sent) = co_await asio::async_write(
          c->sock,
          std::array<asio::const_buffer, 3>{asio::buffer(size, static_cast<std::size_t>(len)),
                                            asio::buffer(*message), asio::buffer("\r\n", 2)},
          as_tuple(use_awaitable));
    }
    c->deadline.cancel();
    close(*c);
  }

  void publish(std::shared_ptr<const std::string> message) {
    for (Stream* s : streams) {
      if (s->queue.size() >= o.stream_queue) {
        s->queue.pop_front();
        ++n.stream_drops;
      }
      s->queue.push_back(message);
      s->wake.cancel();
    }
  }

  void stop() {
    stopping = true;
    std::error_code ignored;
    acceptor.close(ignored);
    for (Connection* c : all) close(*c);
    for (Stream* s : streams) s->wake.cancel();
  }
};

HttpServer::HttpServer(HttpHandler& handler, HttpServerOptions options)
    : impl_(std::make_unique<Impl>(handler, std::move(options))) {
  Impl& m = *impl_;
  const tcp::endpoint at(asio::ip::make_address(m.o.listen), static_cast<std::uint16_t>(m.o.port));
  m.acceptor.open(at.protocol());
  m.acceptor.set_option(tcp::acceptor::reuse_address(true));
  m.acceptor.bind(at);
  m.acceptor.listen(m.o.backlog);
  m.port = m.acceptor.local_endpoint().port();
}

void HttpServer::start() {
  Impl& m = *impl_;
  asio::co_spawn(m.io, m.accept_loop(), log_failure);
  m.thread = std::thread([&m] {
    try {
      m.io.run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "mokctl view: the server stopped: %s\n", e.what());
    }
  });
}

HttpServer::~HttpServer() {
  // Order: connections closed and the loop stopped, then the handlers' pool
  // drained; coroutine frames go with the event loop, after both threads.
  Impl& m = *impl_;
  asio::post(m.io, [&m] {
    m.stop();
    m.io.stop();
  });
  if (m.thread.joinable()) m.thread.join();
  m.pool.join();
}

int HttpServer::port() const { return impl_->port; }

void HttpServer::publish(std::string message) {
  auto shared = std::make_shared<const std::string>(std::move(message));
  asio::post(impl_->io, [m = impl_.get(), shared] { m->publish(shared); });
}

HttpCounters HttpServer::counters() const {
  const auto& n = impl_->n;
  return {n.connections, n.requests,     n.evicted_idle,     n.refused_connections, n.timed_out,
          n.malformed,   n.head_size,    n.url_size,         n.body_size,           n.streams,
          n.busy,        n.stream_drops, n.open_connections, n.open_streams};
}

}  // namespace mokctl::view
