// The transfer's worker pool and its recycled block buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "blocks/transfer/ufa_pool.h"

namespace {

// One worker means none: each job runs on the caller's thread, and only when
// its result is asked for.
TEST(WorkerPool, OneWorkerRunsEveryJobOnTheCallersThreadWhenAsked) {
    ufa::WorkerPool pool(1);
    EXPECT_EQ(1, pool.Workers());
    std::atomic<bool> ran{false};
    auto result = pool.Submit([&ran] {
        ran = true;
        return std::this_thread::get_id();
    });
    EXPECT_FALSE(ran);
    EXPECT_EQ(std::this_thread::get_id(), result.get());
    EXPECT_TRUE(ran);
}

// Jobs run off the caller's thread; a job that throws hands its exception to
// its own future and the others go on; the pool ends only after every job
// queued when it went out of scope has run.
TEST(WorkerPool, SeveralWorkersRunEveryJobAndKeepFailuresInTheirFutures) {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> done{0};
    std::deque<std::future<int>> results;
    {
        ufa::WorkerPool pool(3);
        EXPECT_EQ(3, pool.Workers());
        for (int i = 0; i < 40; ++i)
            results.push_back(pool.Submit([i, caller, &done] {
                if (i == 7) throw std::runtime_error("job 7");
                EXPECT_NE(caller, std::this_thread::get_id());
                ++done;
                return i * i;
            }));
    }
    EXPECT_EQ(39, done);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(std::future_status::ready, results[i].wait_for(std::chrono::seconds(0))) << i;
        if (i == 7)
            EXPECT_THROW(results[i].get(), std::runtime_error);
        else
            EXPECT_EQ(i * i, results[i].get());
    }
}

// A buffer comes back as it was given: same memory, same size, nothing filled again.
TEST(BufferPool, GivesBackTheSameMemoryAndIgnoresEmptyBuffers) {
    ufa::BufferPool buffers;
    EXPECT_EQ(0u, buffers.Take().capacity());
    std::vector<uint8_t> block(4194304, 0x5a);
    const uint8_t* memory = block.data();
    buffers.Give(std::move(block));
    buffers.Give(std::vector<uint8_t>());  // nothing to keep
    std::vector<uint8_t> again = buffers.Take();
    EXPECT_EQ(memory, again.data());
    ASSERT_EQ(4194304u, again.size());
    EXPECT_EQ(0x5a, again[4194303]);
    EXPECT_EQ(0u, buffers.Take().capacity());  // the empty one was not kept
}

}  // namespace
