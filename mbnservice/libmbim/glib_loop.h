// The one GLib thread of the libmbim back end: a private GMainContext run by a
// thread of its own. Every libmbim call, every release of a libmbim object
// and every cancel happens on it, so libmbim (whose objects and registries
// have no locks) only ever sees one thread. Other threads hand it work and
// wait for the answer with a bound.
#ifndef MBNSERVICE_LIBMBIM_GLIB_LOOP_H
#define MBNSERVICE_LIBMBIM_GLIB_LOOP_H

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace mbnmbim {

class GlibLoop {
public:
    GlibLoop();
    ~GlibLoop();  // quits the loop and joins the thread
    GlibLoop(const GlibLoop&) = delete;
    GlibLoop& operator=(const GlibLoop&) = delete;

    // Runs work on the loop thread later (in order of posting).
    void Post(std::function<void()> work);
    bool OnLoopThread() const;

private:
    static int Drain(int fd, unsigned condition, void* self);  // a GUnixFDSourceFunc

    int wakeup_ = -1;  // eventfd: work is queued
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::atomic<std::thread::id> loopThread_{};
    std::thread thread_;
};

}  // namespace mbnmbim

#endif
