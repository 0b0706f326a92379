// The little the board needs of threads: a mutex, one that can be waited
// for a while only, a lock, a condition variable, a thread and a steady
// clock. The standard library's on Linux; on Windows the system's own (slim
// reader/writer lock, condition variable, CreateThread, the tick count),
// because the product's mingw-w64 compilers use the win32 thread model,
// whose C++ library has no std::thread or std::mutex, and its steady clock
// brings in the C++ runtime's exception support with it.
#pragma once

#include <chrono>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#else
#  include <pthread.h>

#  include <condition_variable>
#  include <mutex>
#  include <thread>
#endif

namespace dvbcard {

#if defined(_WIN32)

// Milliseconds since the system started, as std::chrono's clocks count.
struct SteadyClock
{
    using duration = std::chrono::milliseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<SteadyClock, duration>;
    static constexpr bool is_steady = true;
    static time_point now() { return time_point(duration(static_cast<rep>(GetTickCount64()))); }
};

class Mutex
{
public:
    Mutex() { InitializeSRWLock(&m_lock); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() { AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ReleaseSRWLockExclusive(&m_lock); }
    SRWLOCK* Native() { return &m_lock; }

private:
    SRWLOCK m_lock;
};

// A mutex that can also be waited for a while only.
class TimedMutex : public Mutex
{
public:
    // Whether it was taken within nMs.
    bool TryLockFor(int nMs)
    {
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(nMs);
        for (;;) {
            if (TryAcquireSRWLockExclusive(Native()))
                return true;
            if (GetTickCount64() >= deadline)
                return false;
            Sleep(1);
        }
    }
};

// Holds the mutex from construction to destruction, except between
// unlock() and lock().
class Lock
{
public:
    explicit Lock(Mutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~Lock() { m_mutex.unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    Mutex& Owned() { return m_mutex; }

private:
    Mutex& m_mutex;
};

class CondVar
{
public:
    CondVar() { InitializeConditionVariable(&m_cv); }
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;
    void Wait(Lock& lock) { SleepConditionVariableSRW(&m_cv, lock.Owned().Native(), INFINITE, 0); }
    // Returns at a notify, at a spurious wake-up, or after nMs.
    void WaitFor(Lock& lock, int nMs)
    {
        SleepConditionVariableSRW(&m_cv, lock.Owned().Native(), static_cast<DWORD>(nMs), 0);
    }
    void NotifyAll() { WakeAllConditionVariable(&m_cv); }

private:
    CONDITION_VARIABLE m_cv;
};

class Thread
{
public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Runs pfn(pContext) on a thread of its own, named pszName where the
    // system names threads.
    bool Start(void (*pfn)(void*), void* pContext, const char*)
    {
        m_pfn = pfn;
        m_pContext = pContext;
        m_hThread = CreateThread(nullptr, 0, &Thread::Run, this, 0, nullptr);
        return m_hThread != nullptr;
    }
    bool Joinable() const { return m_hThread != nullptr; }
    void Join()
    {
        if (m_hThread == nullptr)
            return;
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }

private:
    static DWORD WINAPI Run(void* p)
    {
        Thread* self = static_cast<Thread*>(p);
        self->m_pfn(self->m_pContext);
        return 0;
    }

    HANDLE m_hThread = nullptr;
    void (*m_pfn)(void*) = nullptr;
    void* m_pContext = nullptr;
};

#else

using SteadyClock = std::chrono::steady_clock;

class Mutex
{
public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    std::mutex& Native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

class TimedMutex
{
public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool TryLockFor(int nMs) { return m_mutex.try_lock_for(std::chrono::milliseconds(nMs)); }

private:
    std::timed_mutex m_mutex;
};

class Lock
{
public:
    explicit Lock(Mutex& mutex) : m_lock(mutex.Native()) {}
    void lock() { m_lock.lock(); }
    void unlock() { m_lock.unlock(); }
    std::unique_lock<std::mutex>& Native() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

class CondVar
{
public:
    void Wait(Lock& lock) { m_cv.wait(lock.Native()); }
    void WaitFor(Lock& lock, int nMs) { m_cv.wait_for(lock.Native(), std::chrono::milliseconds(nMs)); }
    void NotifyAll() { m_cv.notify_all(); }

private:
    std::condition_variable m_cv;
};

class Thread
{
public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    bool Start(void (*pfn)(void*), void* pContext, const char* pszName)
    {
        m_thread = std::thread(pfn, pContext);
        pthread_setname_np(m_thread.native_handle(), pszName);
        return true;
    }
    bool Joinable() const { return m_thread.joinable(); }
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

#endif

}  // namespace dvbcard
