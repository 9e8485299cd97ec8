#pragma once

// Threads for connections, kept when their connection ends: the next connection is served by a
// waiting thread instead of a new one, which spares it the thread creation and the set-up the
// thread does on first use. At most maxIdle threads wait, each for at most idleSeconds; then it
// ends. Plain POSIX and the standard library, so that the no-op baseline server of the
// benchmarks runs connections exactly this way too.

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

class ThreadCache
{
public:
    using Task = void (*)(void *argument);

    // name: each thread's, as the system lists it (at most 15 bytes).
    ThreadCache(const char *name, int maxIdle, int idleSeconds) : name(name), maxIdle(maxIdle), idleTime(idleSeconds) {}
    ThreadCache(const ThreadCache &) = delete;
    ThreadCache &operator=(const ThreadCache &) = delete;

    // Runs task(argument) on a waiting thread, or on a new detached one. False when no thread
    // could be created; *error then holds the system's reason and the task did not run.
    bool run(Task task, void *argument, const char **error)
    {
        bool handedOver = false;
        {
            std::lock_guard<std::mutex> locker(lock);
            if (int(pending.size()) < idle) {
                pending.push_back({task, argument, this});
                handedOver = true;
            }
        }
        if (handedOver) {
            // After unlocking, or the woken thread only waits for the lock. A waiter whose time
            // ran out meanwhile still finds the work: it checks under the lock before it ends.
            wake.notify_one();
            return true;
        }
        Work *first = new Work{task, argument, this};
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const int rc = pthread_create(&thread, &attributes, &ThreadCache::threadMain, first);
        pthread_attr_destroy(&attributes);
        if (rc != 0) {
            delete first;
            *error = std::strerror(rc);
            return false;
        }
        return true;
    }

private:
    struct Work {
        Task task;
        void *argument;
        ThreadCache *cache;
    };

    static void *threadMain(void *arg)
    {
        Work *first = static_cast<Work *>(arg);
        ThreadCache *cache = first->cache;
        Work work = *first;
        delete first;
        pthread_setname_np(pthread_self(), cache->name);
        do {
            work.task(work.argument);
        } while (cache->nextWork(&work));
        return nullptr;
    }

    // Waits for the next connection; false when this thread should end.
    bool nextWork(Work *work)
    {
        std::unique_lock<std::mutex> locker(lock);
        if (idle >= maxIdle)
            return false;
        ++idle;
        const bool got = wake.wait_for(locker, idleTime, [this] { return !pending.empty(); });
        --idle;
        if (!got)
            return false;
        *work = pending.front();
        pending.pop_front();
        return true;
    }

    const char *const name;
    const int maxIdle;
    const std::chrono::seconds idleTime;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Work> pending;
    int idle = 0; // threads waiting in nextWork()
};
