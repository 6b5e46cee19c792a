// The per-connection tasks a connector spawns after a successful connect:
// the read loop that frames the byte stream into packets for the handler,
// and the write loop that drains the outbound queue onto the socket. Each
// ends on Stop, Shutdown or force_exit, and when it ends sets force_exit and
// wakes its partner, which follows at once.
#pragma once

#include <chrono>
#include <memory>
#include <span>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include "common/result.hpp"
#include "fxt/client/connector.hpp"

namespace mok::fxt::client {

// Period of both loops' ticker while they run: how often a busy loop checks
// force_exit and inactivity between packets. An idle loop is woken for
// those instead (by its partner, or by the read loop's inactivity alarm).
inline constexpr std::chrono::milliseconds kTickPeriod{30};

// Both loops of a connection share its socket and run on its worker.
asio::awaitable<void> read_stream(std::shared_ptr<Connector> connector,
                                  std::shared_ptr<asio::ip::tcp::socket> sock);

// Returns the queue end when it ends, so queued packets outlive the
// connection.
asio::awaitable<EventQueue::Receiver> write_stream(std::shared_ptr<asio::ip::tcp::socket> sock,
                                                   std::shared_ptr<Connector> connector,
                                                   EventQueue::Receiver queue);

// Head in wire form, then payload, each by send_buf with its own time-out.
asio::awaitable<Result<void, std::string>> write_packet(asio::ip::tcp::socket& writer, const Packet& packet,
                                                        std::chrono::nanoseconds timeout);

// Writes every byte or fails: "write timed out" when `timeout` (measured from
// the call) passes first, otherwise the system error's text.
asio::awaitable<Result<void, std::string>> send_buf(asio::ip::tcp::socket& writer, std::span<const uint8_t> bytes,
                                                    std::chrono::nanoseconds timeout);

}  // namespace mok::fxt::client
