// The asynchronous runtime: a fixed set of worker threads, each running an
// io_context of its own, on which every connector task, timer and socket
// operation runs. A connection stays on the worker it was given, so its
// tasks never hand work between threads. Users that only post work see no
// Asio type; I/O code asks for a context.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace asio {
class io_context;
}

namespace mok {

class Runtime {
 public:
  // Starts `workers` threads (0: one per available processor) named
  // "<name>-<n>" (the kernel keeps 15 characters). Null when the threads or
  // the context cannot be created.
  static std::unique_ptr<Runtime> create(std::string name, std::size_t workers = 0) noexcept;

  // Stops the context, joins the workers, then destroys pending work. Only
  // for runtimes whose tasks have all ended; process-wide runtimes are never
  // destroyed (see ProcessRuntime).
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Runs `fn` on a worker thread (each call the next worker in turn). False
  // if the work could not be queued.
  bool post(std::function<void()> fn) noexcept;

  // The context of the next worker in turn, for a new group of tasks that
  // stay on it (a connection): groups spread evenly over the workers, and
  // everything of one group runs on one thread, one handler at a time.
  asio::io_context& next_context() noexcept;
  std::size_t workers() const noexcept;
  // True on one of this runtime's worker threads.
  bool in_worker() const noexcept;

  // Makes the workers leave their loop after the handler each one runs, and
  // waits a bounded time for that. Used at process exit so that no task runs
  // while static objects are destroyed; the runtime does no work afterwards.
  void quiesce() noexcept;

 private:
  friend class ProcessRuntime;
  struct Impl;
  explicit Runtime(std::unique_ptr<Impl> impl) noexcept;
  // For runtimes that are never destroyed: nobody will join the workers.
  void detach_workers() noexcept;
  std::unique_ptr<Impl> impl_;
};

// A process-wide runtime created on first use and deliberately never
// destroyed: a host may return from main while connections are live, and
// worker threads must neither keep the process alive nor run into destroyed
// statics. Each one is quiesced by an exit handler registered when it is
// created, which runs before the static objects that existed at that moment
// are destroyed. Constant-initialised, so a namespace-scope instance needs no
// global constructor.
class ProcessRuntime {
 public:
  constexpr explicit ProcessRuntime(const char* name) noexcept : name_(name) {}

  // The runtime, created on first call (thread-safe). Null if creation
  // failed; a later call tries again.
  Runtime* get() noexcept;

 private:
  const char* name_;
  std::atomic<Runtime*> runtime_{nullptr};
  std::mutex lock_;
};

}  // namespace mok
