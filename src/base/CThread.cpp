#include "base/CThread.h"

#include "base/Diag.h"

#include <chrono>
#include <cstdio>
#include <functional>

std::atomic<int> g_dwTNum{0};

CThread::~CThread() { Stop(); }

void CThread::Start(const char* threadName, void* arg, std::size_t /*stackSize*/) {
    if (running.load()) return;
    running = true;
    argument = arg;
    if (threadName && *threadName)
        std::snprintf(name, sizeof name, "%s", threadName);
    else
        std::snprintf(name, sizeof name, "Thread %u", static_cast<unsigned>(g_dwTNum.load()));
    try {
        thread_ = std::thread([this] {
            if (routine) routine(this);
        });
    } catch (const std::system_error&) {
        // A failure the operator must see, verbose or not.
        std::fprintf(stderr, "tarvex: unable to start thread %s\n", name);
        handle = -1;
        return; // running stays set, as callers of the original expect
    }
    threadId = static_cast<unsigned long>(std::hash<std::thread::id>{}(thread_.get_id()));
    handle = static_cast<long>(threadId & 0x7fffffff);
    tarvex::Diag("%s:In %s g_dwTNum =%d", name, "CThread::Start", g_dwTNum.load());
    ++g_dwTNum;
}

void CThread::Stop() {
    if (!running.exchange(false)) return;
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach(); // the routine sees the flag and returns by itself
        else
            thread_.join();
    }
    handle = -1;
    tarvex::Diag("%s:In %s g_dwTNum =%d", name, "CThread::exitThread", g_dwTNum.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    --g_dwTNum;
}
