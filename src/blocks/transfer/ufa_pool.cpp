#include "blocks/transfer/ufa_pool.h"

namespace ufa {

WorkerPool::WorkerPool(int workers) {
    if (workers < 2) return;
    try {
        m_threads.reserve(static_cast<size_t>(workers));
        for (int i = 0; i < workers; ++i) m_threads.emplace_back([this] { Run(); });
    } catch (const std::exception&) {
        // No more threads to be had: the transfer goes on with those it got,
        // or on the caller's thread alone.
        if (m_threads.size() < 2) Stop();
    }
}

WorkerPool::~WorkerPool() { Stop(); }

void WorkerPool::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    for (auto& t : m_threads) t.join();
    m_threads.clear();
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

std::vector<uint8_t> BufferPool::Take() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_free.empty()) return {};
    std::vector<uint8_t> buffer = std::move(m_free.back());
    m_free.pop_back();
    return buffer;
}

void BufferPool::Give(std::vector<uint8_t>&& buffer) {
    if (buffer.capacity() == 0) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_free.push_back(std::move(buffer));
}

}  // namespace ufa
