#include "cli/console.h"

namespace zarvek::cli {
namespace {

std::atomic<std::atomic<uint8_t>*> watched[InterruptGuard::kMaxWatched];
std::atomic<int> interruptCount{0};
static_assert(std::atomic<std::atomic<uint8_t>*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

namespace detail {

int noteInterrupt() {
  const int before = interruptCount.fetch_add(1);
  for (auto& slot : watched) {
    if (auto* flag = slot.load()) flag->store(0);
  }
  return before;
}

void forgetAll() {
  for (auto& slot : watched) slot.store(nullptr);
}

}  // namespace detail

bool InterruptGuard::watch(std::atomic<uint8_t>& running) {
  for (auto& slot : watched) {
    std::atomic<uint8_t>* expected = nullptr;
    if (slot.compare_exchange_strong(expected, &running)) {
      // An interrupt that came before the flag was watched still stops it.
      if (interruptCount.load() > 0) running.store(0);
      return true;
    }
  }
  return false;
}

void InterruptGuard::forget(std::atomic<uint8_t>& running) {
  for (auto& slot : watched) {
    std::atomic<uint8_t>* expected = &running;
    slot.compare_exchange_strong(expected, nullptr);
  }
}

bool InterruptGuard::interrupted() const { return interruptCount.load() > 0; }

}  // namespace zarvek::cli
