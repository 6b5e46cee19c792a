// ViewServer on our HTTP server: the routes, the access checks made before a
// body is read, and one publisher thread that builds the live document and
// hands it to the server for every open event stream.
#include "view_server.hpp"

#include <condition_variable>
#include <random>
#include <thread>

#include "access.hpp"
#include "assets.hpp"
#include "exports.hpp"
#include "http_request.hpp"
#include "http_server.hpp"

namespace mokctl::view {
namespace {

std::string random_token() {
  std::random_device rd;
  std::string t;
  for (int i = 0; i < 4; ++i) t += format("%08x", rd());
  return t;
}

std::string host_for_url(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

HttpResponse json(int status, std::string body) {
  return {status, "application/json", std::move(body), {{"Cache-Control", "no-store"}}, false};
}

HttpResponse error(int status, const std::string& sentence) {
  return json(status, "{\"error\":" + json_string(sentence) + "}");
}

HttpResponse outcome(const Refusal& r) { return r ? error(400, *r) : json(200, "{\"ok\":true}"); }

HttpResponse file(std::string type, std::string body) {
  return {200, std::move(type), std::move(body), {{"Cache-Control", "no-store"}}, false};
}

template <class Bytes>
std::string text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

std::uint64_t now_ms() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// A parameter from the form body, else from the query, as browsers send either.
std::string param(const HttpRequest& req, const std::string& body, std::string_view name) {
  return form_has(body, name) ? form_value(body, name) : form_value(req.query, name);
}

}  // namespace

struct ViewServer::Impl final : HttpHandler {
  CameraLink& link;
  ViewOptions o;
  bool token_required;
  AccessPolicy policy;     // complete once the port is known
  TokenFailures failures;  // the event loop thread's
  std::atomic<std::uint64_t> refused_host{0}, refused_action{0}, refused_token{0}, refused_guessing{0};
  std::unique_ptr<HttpServer> server;
  std::thread publisher;

  std::mutex mu;
  std::condition_variable cv;
  bool stopping = false;

  Impl(CameraLink& l, ViewOptions opts)
      : link(l), o(std::move(opts)), token_required(!o.token.empty() || !is_loopback(o.listen)) {
    if (token_required && o.token.empty()) o.token = random_token();
  }

  std::string build_document() {
    Status s = link.status();
    s.read_only = o.read_only;
    s.token_required = token_required;
    if (server) {
      const HttpCounters c = server->counters();
      s.service = {{"http_connections", c.connections},
                   {"http_requests", c.requests},
                   {"http_open_connections", c.open_connections},
                   {"http_open_streams", c.open_streams},
                   {"http_evicted_idle", c.evicted_idle},
                   {"http_refused_connections", c.refused_connections},
                   {"http_timed_out", c.timed_out},
                   {"http_refused_malformed", c.refused_malformed},
                   {"http_refused_head_size", c.refused_head_size},
                   {"http_refused_url_size", c.refused_url_size},
                   {"http_refused_body_size", c.refused_body_size},
                   {"http_refused_streams", c.refused_streams},
                   {"http_refused_busy", c.refused_busy},
                   {"http_stream_drops", c.stream_drops},
                   {"http_refused_host", refused_host.load()},
                   {"http_refused_action", refused_action.load()},
                   {"http_refused_token", refused_token.load()},
                   {"http_refused_guessing", refused_guessing.load()}};
    }
    return status_json(s, link.live().copy(), link.stats());
  }

  void publish_loop() {
    const auto period = std::chrono::duration<double>(1.0 / o.publish_hz);
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mu);
    while (!stopping) {
      lock.unlock();
      server->publish("data: " + build_document() + "\n\n");
      lock.lock();
      next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
      cv.wait_until(lock, next, [&] { return stopping; });
    }
  }

  std::optional<HttpResponse> screen(const HttpRequest& req, const std::string& peer) override;
  HttpResponse handle(const HttpRequest& req, const std::string& body) override;
  std::optional<HttpResponse> refuse_action(const HttpRequest& req, const std::string& peer);
};

std::optional<HttpResponse> ViewServer::Impl::refuse_action(const HttpRequest& req, const std::string& peer) {
  const std::uint64_t now = now_ms();
  if (token_required && failures.blocked(peer, now)) {
    ++refused_guessing;
    return error(429, "Too many wrong tokens from this address; wait a minute.");
  }
  const std::string* token = req.header("x-mok-token");
  auto refusal = policy.refuse_action(req.header("x-mok-request") != nullptr, token ? *token : std::string());
  if (!refusal) return std::nullopt;
  if (token_required && !policy.token_matches(token ? *token : std::string())) {
    failures.failed(peer, now);
    ++refused_token;
  } else {
    ++refused_action;  // read-only, or not from the page
  }
  return error(403, *refusal);
}

std::optional<HttpResponse> ViewServer::Impl::screen(const HttpRequest& req, const std::string& peer) {
  const std::string* host = req.header("host");
  if (!policy.host_allowed(host ? *host : std::string())) {
    ++refused_host;
    return error(403, "Open the viewer through the address mokctl view printed.");
  }
  if (req.method == "POST") {
    if (!req.path.starts_with("/api/")) return error(404, "No such page.");
    return refuse_action(req, peer);
  }
  if (req.method != "GET") return error(405, "Only GET and POST are served.");
  if (req.path == "/events") {
    return HttpResponse{200, "text/event-stream", {}, {{"Cache-Control", "no-store"}}, true};
  }
  if (req.path.starts_with("/api/")) return std::nullopt;
  const std::string path = req.path == "/" ? "/index.html" : req.path;
  for (std::size_t i = 0; i < kAssetCount; ++i) {
    if (kAssets[i].path == path) return file(std::string(kAssets[i].type), std::string(kAssets[i].body));
  }
  return error(404, "No such page.");
}

HttpResponse ViewServer::Impl::handle(const HttpRequest& req, const std::string& body) {
  const std::string& p = req.path;
  if (req.method == "POST") {
    if (p == "/api/set") return outcome(link.set(param(req, body, "name"), param(req, body, "value")));
    if (p == "/api/snapshot") return outcome(link.take_snapshot());
    if (p == "/api/video") return outcome(link.video(param(req, body, "on") == "1"));
    if (p == "/api/record") return outcome(link.record(param(req, body, "action") == "start"));
    return error(404, "No such action.");
  }
  if (p == "/api/state") return json(200, build_document());
  if (p == "/api/snapshot") {
    auto shot = link.snapshot();
    if (!shot) return error(404, "No snapshot yet.");
    if (form_has(req.query, "download")) {
      HttpResponse r = file("application/octet-stream", text(shot->original));
      r.headers.emplace_back("Content-Disposition",
                             format("attachment; filename=\"snapshot-%llu.%s\"",
                                    static_cast<unsigned long long>(shot->shown.seq), shot->extension.c_str()));
      return r;
    }
    if (shot->shown.bytes.empty()) return error(415, "This image cannot be shown; download it.");
    return file(shot->shown.type, text(shot->shown.bytes));
  }
  if (p == "/api/video.jpg") {
    auto frame = link.video_frame();
    if (!frame || frame->bytes.empty()) return error(404, "No video frame yet.");
    return file(frame->type, text(frame->bytes));
  }
  if (p == "/api/profiles.csv" || p == "/api/profiles.ply") {
    const auto seconds = download_seconds(form_value(req.query, "seconds"));
    if (!seconds) return error(400, "The number of seconds must be a number above 0.");
    const bool csv = p.ends_with("csv");
    auto profiles = link.live().history(*seconds);
    HttpResponse r =
        file(csv ? "text/csv" : "application/octet-stream", csv ? history_csv(profiles) : history_ply(profiles));
    r.headers.emplace_back("Content-Disposition",
                           format("attachment; filename=\"profiles.%s\"", csv ? "csv" : "ply"));
    return r;
  }
  return error(404, "No such page.");
}

ViewServer::ViewServer(CameraLink& link, ViewOptions options)
    : impl_(std::make_unique<Impl>(link, std::move(options))) {
  Impl& m = *impl_;
  HttpServerOptions http;
  http.listen = m.o.listen;
  http.port = m.o.port;
  http.max_streams = static_cast<std::size_t>(m.o.max_clients);
  http.head_timeout = http.write_timeout =
      std::chrono::milliseconds(static_cast<std::int64_t>(m.o.client_timeout_s * 1000));
  http.streams_full =
      "{\"error\":" + json_string(format("Already %d live pages are open; close one first.", m.o.max_clients)) +
      "}";
  try {
    m.server = std::make_unique<HttpServer>(m, http);
  } catch (const std::exception&) {
    throw Failure(kUsage, format("Cannot listen on %s port %d: the address is not this machine's or the port is "
                                 "taken.",
                                 m.o.listen.c_str(), m.o.port));
  }
  m.policy = AccessPolicy{m.o.listen, m.server->port(), m.o.read_only, m.token_required, m.o.token};
  m.server->start();
  m.publisher = std::thread([&m] { m.publish_loop(); });
}

ViewServer::~ViewServer() {
  // Order: the publisher first (it feeds the server), then the server, which
  // closes every connection and calls no handler after.
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    m.stopping = true;
  }
  m.cv.notify_all();
  if (m.publisher.joinable()) m.publisher.join();
  m.server.reset();
}

int ViewServer::port() const { return impl_->server->port(); }

bool ViewServer::token_required() const { return impl_->token_required; }

std::string ViewServer::url() const {
  const Impl& m = *impl_;
  std::string host = m.o.listen == "0.0.0.0" || m.o.listen == "::" ? "127.0.0.1" : m.o.listen;
  std::string u = format("http://%s:%d/", host_for_url(host).c_str(), port());
  if (m.token_required) u += "?token=" + m.o.token;
  return u;
}

}  // namespace mokctl::view
