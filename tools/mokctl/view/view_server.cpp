// ViewServer on cpp-httplib: a thread pool serves requests; one publisher
// thread builds the live document and wakes the event streams, which wait on
// a condition variable with a time-out so that a stop never waits on a page.
#include "view_server.hpp"

#include <atomic>
#include <condition_variable>
#include <random>
#include <thread>

#include <httplib.h>

#include "access.hpp"
#include "assets.hpp"
#include "exports.hpp"

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

void reply_json(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body, "application/json");
}

void reply_error(httplib::Response& res, int status, const std::string& sentence) {
  reply_json(res, status, "{\"error\":" + json_string(sentence) + "}");
}

void reply_refusal(httplib::Response& res, const Refusal& r) {
  if (r) {
    reply_error(res, 400, *r);
  } else {
    reply_json(res, 200, "{\"ok\":true}");
  }
}

}  // namespace

struct ViewServer::Impl {
  CameraLink& link;
  ViewOptions o;
  bool token_required;
  AccessPolicy policy;  // complete once the port is known
  httplib::Server server;
  int port = 0;
  std::thread listener, publisher;
  std::atomic<int> clients{0};

  // The latest live document; `seq` counts them.
  std::mutex mu;
  std::condition_variable cv;
  std::string document;
  std::uint64_t seq = 0;
  bool stopping = false;

  Impl(CameraLink& l, ViewOptions opts)
      : link(l), o(std::move(opts)), token_required(!o.token.empty() || !is_loopback(o.listen)) {
    if (token_required && o.token.empty()) o.token = random_token();
  }

  std::string build_document() {
    Status s = link.status();
    s.read_only = o.read_only;
    s.token_required = token_required;
    return status_json(s, link.live().copy(), link.stats());
  }

  void publish_loop() {
    const auto period = std::chrono::duration<double>(1.0 / o.publish_hz);
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mu);
    while (!stopping) {
      lock.unlock();
      std::string doc = build_document();
      lock.lock();
      document = std::move(doc);
      ++seq;
      cv.notify_all();
      next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
      cv.wait_until(lock, next, [&] { return stopping; });
    }
  }

  bool allowed(const httplib::Request& req, httplib::Response& res) const {
    auto refusal = policy.refuse_action(req.has_header("X-Mok-Request"), req.get_header_value("X-Mok-Token"));
    if (refusal) reply_error(res, 403, *refusal);
    return !refusal;
  }

  void routes();
  void events(httplib::Response& res);
};

void ViewServer::Impl::events(httplib::Response& res) {
  if (clients.fetch_add(1) >= o.max_clients) {
    clients.fetch_sub(1);
    reply_error(res, 503, format("Already %d live pages are open; close one first.", o.max_clients));
    return;
  }
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, last = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
        std::string message;
        {
          std::unique_lock<std::mutex> lock(mu);
          cv.wait_for(lock, std::chrono::seconds(1), [&] { return stopping || seq != last; });
          if (stopping) return false;
          if (seq != last) {
            last = seq;
            message = "data: " + document + "\n\n";
          } else {
            message = ": still here\n\n";  // lets a vanished page be noticed
          }
        }
        return sink.write(message.data(), message.size());
      },
      [this](bool) { clients.fetch_sub(1); });
}

void ViewServer::Impl::routes() {
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (policy.host_allowed(req.get_header_value("Host"))) return httplib::Server::HandlerResponse::Unhandled;
    reply_error(res, 403, "Open the viewer through the address mokctl view printed.");
    return httplib::Server::HandlerResponse::Handled;
  });
  server.Get("/events", [this](const httplib::Request&, httplib::Response& res) { events(res); });
  server.Get("/api/state",
             [this](const httplib::Request&, httplib::Response& res) { reply_json(res, 200, build_document()); });
  server.Post("/api/set", [this](const httplib::Request& req, httplib::Response& res) {
    if (allowed(req, res)) reply_refusal(res, link.set(req.get_param_value("name"), req.get_param_value("value")));
  });
  server.Post("/api/snapshot", [this](const httplib::Request& req, httplib::Response& res) {
    if (allowed(req, res)) reply_refusal(res, link.take_snapshot());
  });
  server.Post("/api/video", [this](const httplib::Request& req, httplib::Response& res) {
    if (allowed(req, res)) reply_refusal(res, link.video(req.get_param_value("on") == "1"));
  });
  server.Post("/api/record", [this](const httplib::Request& req, httplib::Response& res) {
    if (allowed(req, res)) reply_refusal(res, link.record(req.get_param_value("action") == "start"));
  });
  server.Get("/api/snapshot", [this](const httplib::Request& req, httplib::Response& res) {
    auto shot = link.snapshot();
    if (!shot) return reply_error(res, 404, "No snapshot yet.");
    res.set_header("Cache-Control", "no-store");
    if (req.has_param("download")) {
      res.set_header("Content-Disposition",
                     format("attachment; filename=\"snapshot-%llu.%s\"",
                            static_cast<unsigned long long>(shot->shown.seq), shot->extension.c_str()));
      const auto& b = shot->original;
      return res.set_content(std::string(b.begin(), b.end()), "application/octet-stream");
    }
    if (shot->shown.bytes.empty()) return reply_error(res, 415, "This image cannot be shown; download it.");
    const auto& b = shot->shown.bytes;
    res.set_content(std::string(b.begin(), b.end()), shot->shown.type);
  });
  server.Get("/api/video.jpg", [this](const httplib::Request&, httplib::Response& res) {
    auto frame = link.video_frame();
    if (!frame || frame->bytes.empty()) return reply_error(res, 404, "No video frame yet.");
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::string(frame->bytes.begin(), frame->bytes.end()), frame->type);
  });
  server.Get(R"(/api/profiles\.(csv|ply))", [this](const httplib::Request& req, httplib::Response& res) {
    double seconds = 5;
    const std::string text = req.get_param_value("seconds");
    if (!text.empty()) {
      char* end = nullptr;
      seconds = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !(seconds > 0) || seconds > 3600) {
        return reply_error(res, 400, "The number of seconds must be a number above 0.");
      }
    }
    const bool csv = req.matches[1] == "csv";
    auto profiles = link.live().history(seconds);
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Disposition", format("attachment; filename=\"profiles.%s\"", csv ? "csv" : "ply"));
    res.set_content(csv ? history_csv(profiles) : history_ply(profiles),
                    csv ? "text/csv" : "application/octet-stream");
  });
  // The page's files; registered last, as the first matching route serves.
  server.Get("/.*", [](const httplib::Request& req, httplib::Response& res) {
    const std::string path = req.path == "/" ? "/index.html" : req.path;
    for (std::size_t i = 0; i < kAssetCount; ++i) {
      if (kAssets[i].path == path) {
        res.set_content(std::string(kAssets[i].body), std::string(kAssets[i].type));
        return;
      }
    }
    reply_error(res, 404, "No such page.");
  });
}

ViewServer::ViewServer(CameraLink& link, ViewOptions options)
    : impl_(std::make_unique<Impl>(link, std::move(options))) {
  Impl& m = *impl_;
  // Each live page holds a worker for as long as it is open: the pool has
  // room for the most pages allowed and the requests beside them.
  const std::size_t workers = static_cast<std::size_t>(m.o.max_clients) + 8;
  m.server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  m.server.set_keep_alive_timeout(2);
  m.server.set_read_timeout(5, 0);
  m.server.set_write_timeout(5, 0);
  m.routes();
  m.port = m.o.port == 0 ? m.server.bind_to_any_port(m.o.listen)
                         : (m.server.bind_to_port(m.o.listen, m.o.port) ? m.o.port : -1);
  m.policy = AccessPolicy{m.o.listen, m.port, m.o.read_only, m.token_required, m.o.token};
  if (m.port <= 0) {
    throw Failure(kUsage, format("Cannot listen on %s port %d: the address is not this machine's or the port is "
                                 "taken.",
                                 m.o.listen.c_str(), m.o.port));
  }
  m.publisher = std::thread([&m] { m.publish_loop(); });
  m.listener = std::thread([&m] { m.server.listen_after_bind(); });
}

ViewServer::~ViewServer() {
  // Order: streams first (they would hold workers), then the server, then the publisher.
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    m.stopping = true;
  }
  m.cv.notify_all();
  m.server.stop();
  if (m.listener.joinable()) m.listener.join();
  if (m.publisher.joinable()) m.publisher.join();
}

int ViewServer::port() const { return impl_->port; }

bool ViewServer::token_required() const { return impl_->token_required; }

std::string ViewServer::url() const {
  const Impl& m = *impl_;
  std::string host = m.o.listen == "0.0.0.0" || m.o.listen == "::" ? "127.0.0.1" : m.o.listen;
  std::string u = format("http://%s:%d/", host_for_url(host).c_str(), m.port);
  if (m.token_required) u += "?token=" + m.o.token;
  return u;
}

}  // namespace mokctl::view
