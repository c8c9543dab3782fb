#include "cable/cable.h"

#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "cable/fd.h"
#include "cable/relay.h"

namespace zarvek {
namespace {

using cable_internals::Fd;
using cable_internals::fail;
using cable_internals::Relay;

// One pseudo-terminal. The slave stays open here for the cable's whole life,
// so the master never sees a hang-up when a program closes its end, and the
// termios settings a program made survive until it opens the end again.
struct End {
  End() {
    int m = -1, s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) != 0) fail("openpty");
    master.reset(m);
    slave.reset(s);
    // Closed on exec: a child (Wine) must not hold the relay's side.
    if (::fcntl(m, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(s, F_SETFD, FD_CLOEXEC) != 0) fail("fcntl cloexec");
    if (::fcntl(m, F_SETFL, O_NONBLOCK) != 0) fail("fcntl nonblock");
    termios t{};
    if (::tcgetattr(s, &t) != 0) fail("tcgetattr");
    ::cfmakeraw(&t);  // a wire: no echo back into the relay, no translation
    if (::tcsetattr(s, TCSANOW, &t) != 0) fail("tcsetattr");
    char name[256];
    if (::ttyname_r(s, name, sizeof name) != 0) fail("ttyname");
    path = name;
  }
  Fd master, slave;
  std::string path;
};

}  // namespace

struct Cable::Impl {
  explicit Impl(const CableConfig& c)
      : aToB(a.master.get(), b.master.get(), c, c.aToB, unplugged),
        bToA(b.master.get(), a.master.get(), c, c.bToA, unplugged) {
    stop.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (stop.get() < 0) fail("eventfd");
    threadAToB = std::thread([this] { aToB.run(stop.get()); });
    threadBToA = std::thread([this] { bToA.run(stop.get()); });
  }
  ~Impl() {
    const uint64_t one = 1;
    (void)!::write(stop.get(), &one, sizeof one);
    threadAToB.join();
    threadBToA.join();
  }
  Relay& relay(Direction d) { return d == Direction::AtoB ? aToB : bToA; }
  const Relay& relay(Direction d) const { return d == Direction::AtoB ? aToB : bToA; }

  End a, b;
  Fd stop;
  std::atomic<bool> unplugged{false};
  Relay aToB, bToA;
  std::thread threadAToB, threadBToA;
};

Cable::Cable(CableConfig config) : impl_(std::make_unique<Impl>(config)) {}
Cable::~Cable() = default;

const std::string& Cable::endA() const { return impl_->a.path; }
const std::string& Cable::endB() const { return impl_->b.path; }

void Cable::linkEnds(const std::string& linkA, const std::string& linkB) const {
  for (const auto& [link, target] : {std::pair{linkA, endA()}, std::pair{linkB, endB()}}) {
    // A fresh link renamed over the old one: a program never finds the name missing.
    const std::string temporary = link + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) fail("symlink " + temporary);
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
      ::unlink(temporary.c_str());
      fail("rename to " + link);
    }
  }
}

void Cable::unplug() { impl_->unplugged = true; }

void Cable::plugIn() { impl_->unplugged = false; }

void Cable::setFaults(Direction direction, const FaultPlan& plan) { impl_->relay(direction).setFaults(plan); }

void Cable::injectNoise(Direction direction, uint8_t value) { impl_->relay(direction).injectNoise(value); }

std::vector<LoggedByte> Cable::log(Direction direction) const { return impl_->relay(direction).log(); }

uint64_t Cable::bytesIn(Direction direction) const { return impl_->relay(direction).bytesIn(); }

std::chrono::nanoseconds Cable::relayCpuTime() const {
  std::chrono::nanoseconds total{0};
  for (auto* thread : {&impl_->threadAToB, &impl_->threadBToA}) {
    clockid_t clock;
    timespec used{};
    if (::pthread_getcpuclockid(thread->native_handle(), &clock) != 0 ||
        ::clock_gettime(clock, &used) != 0)
      continue;
    total += std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
  }
  return total;
}

}  // namespace zarvek
