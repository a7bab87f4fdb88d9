// One pointer per thread under a POSIX thread-specific key, instead of C++
// thread_local storage: the C library allocates a loaded module's
// thread_local storage on a thread's first access and ends the process when
// it cannot, while a key's slot either needs no memory or reports ENOMEM.
#pragma once

#include <pthread.h>

namespace linora {

class ThreadKey {
  public:
    ThreadKey() noexcept : created_(pthread_key_create(&key_, nullptr) == 0) {}
    ThreadKey(const ThreadKey&) = delete;
    ThreadKey& operator=(const ThreadKey&) = delete;

    bool created() const noexcept { return created_; }
    // This thread's pointer; null when none was stored (or no key exists).
    void* get() const noexcept { return created_ ? pthread_getspecific(key_) : nullptr; }
    // False when the thread's slot cannot be allocated (or no key exists).
    // Storing the value that was there before never allocates.
    bool set(const void* value) const noexcept {
        return created_ && pthread_setspecific(key_, value) == 0;
    }

  private:
    pthread_key_t key_{};
    bool created_;
};

} // namespace linora
