#pragma once
// Named worker thread with a running flag that its routine polls.

#include <atomic>
#include <cstddef>
#include <thread>

class CThread;
using ThreadRoutine = void (*)(CThread*);

// Count of started workers; only used in the printed lines.
extern std::atomic<int> g_dwTNum;

class CThread {
public:
    CThread() = default;
    explicit CThread(ThreadRoutine r) : routine(r) {}
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts the worker unless it is already running. stackSize is accepted for
    // the callers' sake; the platform's default stack is used.
    void Start(const char* threadName, void* arg, std::size_t stackSize = 0);
    // Clears the flag and waits until the routine has returned, so that the
    // worker never stops in the middle of its loop body. Called from the
    // worker itself it only clears the flag.
    void Stop();

    bool IsRunning() const { return running.load(); }
    const char* Name() const { return name; }

    ThreadRoutine routine = nullptr;
    void* argument = nullptr;
    std::atomic<bool> running{false};
    char name[100] = {};
    unsigned long threadId = 0;
    long handle = -1; // -1 when there is no thread

private:
    std::thread thread_;
};
