// Worker threads, one io_context each, and the exit handling of the
// process-wide runtimes. A context run by one thread lets Asio skip the
// locking and cross-thread wake-ups a shared one pays on every operation.
// Shutdown order of a destroyed Runtime: stop the contexts, join the
// workers, then destroy the contexts (and with them any pending handlers).
#include "common/runtime.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include "common/library_thread.hpp"
#include "common/log.hpp"

namespace mok {

namespace {

constexpr const char* kTarget = "mok::runtime";
#if defined(ASIO_HAS_IO_URING_AS_DEFAULT)
constexpr const char* kEventLoop = "io_uring";
#else
constexpr const char* kEventLoop = "epoll";
#endif
// How long process exit waits for workers to finish the handler they run.
constexpr auto kQuiesceWait = std::chrono::milliseconds(500);

std::size_t available_processors() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

thread_local const void* t_current_runtime = nullptr;

// Workers inherit the creating thread's signal mask: blocking everything
// while they are created keeps the host's signal handlers on its own threads.
class BlockSignals {
 public:
  BlockSignals() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old_);
  }
  ~BlockSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  BlockSignals(const BlockSignals&) = delete;
  BlockSignals& operator=(const BlockSignals&) = delete;

 private:
  sigset_t old_;
};

}  // namespace

struct Runtime::Impl {
  // One worker: its thread and the context only it runs. The hint tells
  // Asio that one thread runs the context (others may still post to it).
  struct Worker {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::thread thread;
  };
  std::vector<std::unique_ptr<Worker>> workers;
  std::atomic<std::size_t> turn{0};
  std::mutex lock;
  std::condition_variable idle;
  std::size_t running = 0;  // workers inside their loop

  Worker& next() noexcept { return *workers[turn.fetch_add(1, std::memory_order_relaxed) % workers.size()]; }

  void work(asio::io_context& io, const std::string& name) noexcept {
    t_current_runtime = this;
    mark_library_thread();
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    for (;;) {
      try {
        io.run();
        break;
      } catch (const std::exception& e) {
        // A handler that throws must not take the worker down with it.
        log::error(kTarget, "runtime worker caught: {}", e.what());
      } catch (...) {
        log::error(kTarget, "runtime worker caught an unknown exception");
      }
    }
    std::lock_guard g(lock);
    --running;
    idle.notify_all();
  }
};

std::unique_ptr<Runtime> Runtime::create(std::string name, std::size_t workers) noexcept {
  try {
    const std::size_t n = workers == 0 ? available_processors() : workers;
    auto impl = std::make_unique<Impl>();
    for (std::size_t i = 0; i < n; ++i) {
      impl->workers.push_back(std::make_unique<Impl::Worker>());
      // A timer makes the context open its reactor's descriptors now rather
      // than when its first connection comes, so the process's descriptors
      // are all there once the runtime is.
      asio::steady_timer open_reactor(impl->workers.back()->io);
    }
    std::unique_ptr<Runtime> rt(new Runtime(std::move(impl)));
    BlockSignals blocked;
    Impl* raw = rt->impl_.get();
    for (std::size_t i = 0; i < n; ++i) {
      {
        std::lock_guard g(raw->lock);
        ++raw->running;
      }
      try {
        asio::io_context* io = &raw->workers[i]->io;
        raw->workers[i]->thread =
            std::thread([raw, io, thread_name = name + "-" + std::to_string(i)] { raw->work(*io, thread_name); });
      } catch (...) {
        std::lock_guard g(raw->lock);
        --raw->running;
        throw;
      }
    }
    log::debug(kTarget, "runtime {}: {} workers, each waiting on {}", name, n, kEventLoop);
    return rt;
  } catch (const std::exception& e) {
    // Workers already started are joined by the destructor of `rt`. A kernel
    // that refuses io_uring refuses it every time: said once, with the way out.
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
      log::error(kTarget, "cannot create runtime {}: {} (event loop: {}{})", name, e.what(), kEventLoop,
                 std::string_view(kEventLoop) == "io_uring"
                     ? "; a build with MOK_IO_URING=OFF waits on epoll instead"
                     : "");
    }
  } catch (...) {
    log::error(kTarget, "cannot create runtime {}", name);
  }
  return nullptr;
}

Runtime::Runtime(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}

Runtime::~Runtime() {
  for (auto& w : impl_->workers) {
    w->guard.reset();
    w->io.stop();
  }
  for (auto& w : impl_->workers) {
    std::thread& t = w->thread;
    if (!t.joinable()) continue;
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();  // destroyed from its own worker: it leaves run() on return
    } else {
      t.join();
    }
  }
}

bool Runtime::post(std::function<void()> fn) noexcept {
  try {
    asio::post(impl_->next().io, std::move(fn));
    return true;
  } catch (...) {
    return false;
  }
}

asio::io_context& Runtime::next_context() noexcept { return impl_->next().io; }

std::size_t Runtime::workers() const noexcept { return impl_->workers.size(); }

void Runtime::detach_workers() noexcept {
  for (auto& w : impl_->workers) {
    if (w->thread.joinable()) w->thread.detach();
  }
}

bool Runtime::in_worker() const noexcept { return t_current_runtime == impl_.get(); }

void Runtime::quiesce() noexcept {
  try {
    for (auto& w : impl_->workers) w->io.stop();
    // A worker calling exit() from a handler cannot leave its own loop.
    const std::size_t self = in_worker() ? 1 : 0;
    std::unique_lock g(impl_->lock);
    impl_->idle.wait_for(g, kQuiesceWait, [&] { return impl_->running <= self; });
  } catch (...) {
    // Exit goes on regardless.
  }
}

namespace {

// Process-wide runtimes to quiesce at exit. Fixed size and constant-initialised:
// there are two in the library (transport and device interface).
constexpr std::size_t kMaxProcessRuntimes = 8;
constinit std::atomic<Runtime*> g_process_runtimes[kMaxProcessRuntimes] = {};

void quiesce_process_runtimes() noexcept {
  for (auto& slot : g_process_runtimes) {
    if (Runtime* rt = slot.load()) rt->quiesce();
  }
}

void remember_for_exit(Runtime* rt) noexcept {
  for (auto& slot : g_process_runtimes) {
    Runtime* expected = nullptr;
    if (slot.compare_exchange_strong(expected, rt)) break;
  }
}

}  // namespace

Runtime* ProcessRuntime::get() noexcept {
  if (Runtime* rt = runtime_.load(std::memory_order_acquire)) return rt;
  std::lock_guard g(lock_);
  if (Runtime* rt = runtime_.load(std::memory_order_relaxed)) return rt;
  // Exit handlers and static destructors run in reverse order of
  // registration: registered before the runtime exists, the handler runs
  // before the destructors of every static the runtime's code already uses.
  // Statics created later are destroyed first, which is why the few that
  // workers touch (the log sink) are leaked as well.
  static const bool registered = std::atexit(quiesce_process_runtimes) == 0;
  (void)registered;
  Runtime* rt = Runtime::create(name_).release();  // never destroyed
  if (rt == nullptr) return nullptr;
  rt->detach_workers();
  remember_for_exit(rt);
  runtime_.store(rt, std::memory_order_release);
  return rt;
}

}  // namespace mok
