// Objects that belong to one thread and go when it ends.
//
// A thread_local object with a destructor is not safe everywhere: MinGW's
// emulated TLS frees a thread's thread_local storage before it runs their
// destructors, so such a destructor reads freed memory (and, for an object
// owning a buffer or a handle, frees whatever it finds there). Per-thread
// objects therefore live on the heap, reached through a plain thread_local
// pointer, and each system destroys them at thread exit its own way.
#pragma once

#include <memory>

namespace tov::platform {

// Has `destroy(object)` called on the calling thread as it ends; objects
// registered later are destroyed first. Where a system lets the module be
// unloaded while the thread lives on, what the thread still holds is
// destroyed at the unload, on the unloading thread. Throws std::bad_alloc,
// having registered nothing.
void at_thread_exit(void* object, void (*destroy)(void*));

// The calling thread's own T, default-constructed on first use and destroyed
// when the thread ends. Must not be reached from code that runs as the
// thread ends (another per-thread object's destructor): that one may be gone.
// Throws what constructing T throws, or std::bad_alloc.
template <class T>
T& per_thread() {
  static thread_local T* object = nullptr;
  if (object == nullptr) {
    auto owned = std::make_unique<T>();
    at_thread_exit(owned.get(), [](void* pointer) { delete static_cast<T*>(pointer); });
    object = owned.release();
  }
  return *object;
}

}  // namespace tov::platform
