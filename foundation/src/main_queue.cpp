#include "foundation/main_queue.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "scheduled_work.hpp"

namespace foundation {
namespace {

struct MainLoop {
  boost::asio::io_context context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{context.get_executor()};
  std::once_flag ownThread;
  std::atomic<bool> drivenByApplication{false};

  // Starts the queue's own thread unless the application drives the queue itself.
  void ensureRunning() {
    if (drivenByApplication.load()) return;
    std::call_once(ownThread, [this] {
      if (drivenByApplication.load()) return;
      // Detached and never joined: the loop lives as long as the process, like an application's main thread.
      std::thread([this] { context.run(); }).detach();
    });
  }
};

MainLoop& loop() {
  static auto* instance = new MainLoop();  // never destroyed, see ensureRunning
  return *instance;
}

}  // namespace

void MainQueue::post(std::function<void()> task) {
  auto& l = loop();
  l.ensureRunning();
  boost::asio::post(l.context, std::move(task));
}

Cancellable MainQueue::postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) {
  auto& l = loop();
  l.ensureRunning();
  return detail::schedule(l.context.get_executor(), delay, std::move(task), false);
}

Cancellable MainQueue::postRepeating(std::chrono::steady_clock::duration interval, std::function<void()> task) {
  auto& l = loop();
  l.ensureRunning();
  return detail::schedule(l.context.get_executor(), interval, std::move(task), true);
}

bool MainQueue::isCurrent() { return loop().context.get_executor().running_in_this_thread(); }

void MainQueue::run() {
  auto& l = loop();
  l.drivenByApplication = true;
  l.context.restart();
  l.context.run();
}

std::size_t MainQueue::poll() {
  auto& l = loop();
  l.drivenByApplication = true;
  if (l.context.stopped()) l.context.restart();
  return l.context.poll();
}

void MainQueue::stop() { loop().context.stop(); }

void MainQueue::drain() {
  if (isCurrent()) throw std::logic_error("MainQueue::drain called on the main queue");
  sync([] {});
}

}  // namespace foundation
