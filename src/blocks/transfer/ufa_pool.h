// The small pool of worker threads that hashes, compresses, encrypts and
// decrypts blocks while the caller's thread keeps the wire busy. HTTP
// requests and progress callbacks never run here.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace ufa {

// A transfer's pool has TransferWorkerThreads() workers (blocks/codec/block_codec.h).
class WorkerPool {
public:
    // `workers` threads besides the caller's; fewer than 2 = none (work runs
    // on the caller's thread when its result is asked for).
    explicit WorkerPool(int workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int Workers() const { return m_threads.empty() ? 1 : static_cast<int>(m_threads.size()); }

    template <class Fn>
    auto Submit(Fn&& fn) -> std::future<decltype(fn())> {
        using R = decltype(fn());
        if (m_threads.empty()) return std::async(std::launch::deferred, std::forward<Fn>(fn));
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<Fn>(fn));
        std::future<R> result = task->get_future();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_jobs.emplace_back([task] { (*task)(); });
        }
        m_wake.notify_one();
        return result;
    }

private:
    void Run();
    void Stop();

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

// Block-sized buffers passed on from one block to the next, so that a block
// is neither allocated nor zero-filled afresh: at most as many buffers as
// blocks were in flight at once. Any thread may take and give.
class BufferPool {
public:
    // A buffer given back earlier (its size and capacity as they were), or a new empty one.
    std::vector<uint8_t> Take();
    void Give(std::vector<uint8_t>&& buffer);

private:
    std::mutex m_lock;
    std::vector<std::vector<uint8_t>> m_free;
};

// Waits for every future still held when the scope ends, so no job outlives
// the data it works on (a failure or cancel unwinds past them).
template <class Future>
class DrainOnExit {
public:
    explicit DrainOnExit(std::deque<Future>& futures) : m_futures(futures) {}
    ~DrainOnExit() {
        for (auto& f : m_futures)
            if (f.valid()) f.wait();
    }

private:
    std::deque<Future>& m_futures;
};

}  // namespace ufa
