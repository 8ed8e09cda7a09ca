#include "blocks/transfer/ufa_pool.h"

namespace ufa {

WorkerPool::WorkerPool(int workers) {
    if (workers < 2) return;
    m_threads.reserve(static_cast<size_t>(workers));
    for (int i = 0; i < workers; ++i) m_threads.emplace_back([this] { Run(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    for (auto& t : m_threads) t.join();
}

void WorkerPool::Run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            m_wake.wait(guard, [this] { return m_stop || !m_jobs.empty(); });
            if (m_jobs.empty()) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();  // a packaged task: whatever it raises goes into its future
    }
}

}  // namespace ufa
