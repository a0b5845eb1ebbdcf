#include "platform/thread_exit.h"

#include <windows.h>

#include <new>

namespace tov::platform {

namespace {

struct Entry {
  void* object;
  void (*destroy)(void*);
  Entry* next;
};

// Fiber-local storage calls this for every thread that ends with entries,
// after the thread's own code has returned, and for every thread still
// holding some when the index is freed.
void NTAPI destroy_entries(void* head) {
  Entry* entry = static_cast<Entry*>(head);
  while (entry != nullptr) {
    Entry* const next = entry->next;
    entry->destroy(entry->object);
    delete entry;
    entry = next;
  }
}

// Freed when the module is unloaded (or the process ends): the callback is
// this module's code, so no thread may reach it afterwards.
class ExitSlot {
 public:
  ExitSlot() : index_(::FlsAlloc(&destroy_entries)) {}
  ~ExitSlot() {
    if (index_ != FLS_OUT_OF_INDEXES) ::FlsFree(index_);
  }
  ExitSlot(const ExitSlot&) = delete;
  ExitSlot& operator=(const ExitSlot&) = delete;

  DWORD index() const noexcept { return index_; }

 private:
  const DWORD index_;
};

}  // namespace

void at_thread_exit(void* object, void (*destroy)(void*)) {
  static ExitSlot slot;
  // With every index of the process taken, the object outlives its thread:
  // one object lost per thread is better than failing the work that wants it.
  if (slot.index() == FLS_OUT_OF_INDEXES) return;
  Entry* const entry = new Entry{object, destroy, static_cast<Entry*>(::FlsGetValue(slot.index()))};
  if (!::FlsSetValue(slot.index(), entry)) {
    delete entry;
    throw std::bad_alloc();
  }
}

}  // namespace tov::platform
