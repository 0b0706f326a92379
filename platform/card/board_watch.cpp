#include "platform/card/board_state.h"

#include <chrono>

namespace dvbcard {

// The watcher: about once a second, reads what the window shows, and when
// another program has changed any of it, tells the window. It sleeps on a
// condition variable, so a close stops it at once.
void BoardState::Watch()
{
    using Clock = std::chrono::steady_clock;
    Lock lock(m_mutex);
    for (;;) {
        const auto due = Clock::now() + std::chrono::milliseconds(WatchIntervalMs);
        for (auto now = Clock::now(); !m_bStop && now < due; now = Clock::now())
            m_wake.WaitFor(lock, static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1));
        if (m_bStop)
            return;
        Reading now;
        // A failed read is not a change: the window keeps what it shows.
        if (!Read(now) || now == m_last)
            continue;
        m_last = now;
        const ChangeCallback pfnChanged = m_pfnChanged;
        void* const pContext = m_pContext;
        lock.unlock();
        if (pfnChanged != nullptr)
            pfnChanged(pContext);
        lock.lock();
    }
}

}  // namespace dvbcard
