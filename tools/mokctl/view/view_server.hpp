// The viewer's web server: the page and its assets (compiled in), the live
// document as Server-Sent Events, the JSON actions and the downloads. Safe by
// default: it listens on loopback, and wherever a token is required every
// action that reaches the camera or the disk must carry it.
#pragma once

#include <memory>
#include <string>

#include "camera_link.hpp"

namespace mokctl::view {

struct ViewOptions {
  std::string listen = "127.0.0.1";
  int port = 0;                 // 0: a free one
  bool read_only = false;       // refuse every action
  std::string token;            // given: actions need it even on loopback
  int max_clients = 8;          // live pages at once
  double publish_hz = 40;       // live documents a second
  double client_timeout_s = 5;  // to send a request, or to take a response or live update
};

class ViewServer {
 public:
  // Binds and starts serving; throws Failure when the address cannot be bound.
  ViewServer(CameraLink& link, ViewOptions options);
  // Ends the live streams, stops the server and joins its threads.
  ~ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  int port() const;
  // The page's address, with the token when one is required.
  std::string url() const;
  bool token_required() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace mokctl::view
