// The provider's GLib thread (see glib_loop.h). Work travels as an idle
// source attached to the private context; the thread makes that context its
// thread-default one, so the asynchronous libmbim calls it starts report
// back to it as well.
#include "glib_loop.h"

#include <glib.h>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace mbnmbim {

namespace {

gboolean RunOnce(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void DeleteWork(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

GlibLoop::GlibLoop() {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
}

GlibLoop::~GlibLoop() {
    Post([this] { g_main_loop_quit(loop_); });
    if (thread_.joinable()) thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void GlibLoop::Post(std::function<void()> work) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, RunOnce, new std::function<void()>(std::move(work)), DeleteWork);
    g_source_attach(source, context_);
    g_source_unref(source);
}

bool GlibLoop::Call(std::function<void()> work, std::chrono::milliseconds timeout) {
    if (OnLoopThread()) {
        work();
        return true;
    }
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    Post([done, work = std::move(work)] {
        work();
        std::lock_guard<std::mutex> lock(done->mutex);
        done->done = true;
        done->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(done->mutex);
    return done->cv.wait_for(lock, timeout, [&] { return done->done; });
}

bool GlibLoop::OnLoopThread() const { return std::this_thread::get_id() == thread_.get_id(); }

}  // namespace mbnmbim
