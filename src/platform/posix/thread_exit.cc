#include "platform/thread_exit.h"

#include <vector>

namespace tov::platform {

namespace {

// POSIX systems run thread_local destructors while the storage is intact,
// so one list per thread is enough.
class ExitList {
 public:
  ExitList() = default;
  ExitList(const ExitList&) = delete;
  ExitList& operator=(const ExitList&) = delete;
  ~ExitList() {
    while (!entries_.empty()) {
      const Entry entry = entries_.back();
      entries_.pop_back();
      entry.destroy(entry.object);
    }
  }

  void add(void* object, void (*destroy)(void*)) { entries_.push_back({object, destroy}); }

 private:
  struct Entry {
    void* object;
    void (*destroy)(void*);
  };
  std::vector<Entry> entries_;
};

thread_local ExitList exit_list;

}  // namespace

void at_thread_exit(void* object, void (*destroy)(void*)) {
  exit_list.add(object, destroy);
}

}  // namespace tov::platform
