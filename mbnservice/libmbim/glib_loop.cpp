// The provider's GLib thread (see glib_loop.h). Work waits in a queue of our
// own and an eventfd wakes the thread, whose source (made on that thread)
// drains the queue: no GLib object is touched by another thread, and the
// hand-over rests on a lock and a file that thread checkers see, not on
// GLib's own uninstrumented locks. The thread makes the private context its
// thread-default one, so the asynchronous libmbim calls it starts report
// back to it as well.
//
// The thread runs with SIGPIPE blocked. libmbim writes to its port with
// plain write(2); on mbim-proxy's socket, once the proxy stops reading, that
// raises SIGPIPE in the writing thread, and SIGPIPE ends the program by
// default. GLib ignores SIGPIPE process-wide when it makes its first socket,
// but the program that loaded us may set it back. Blocked, the signal stays
// pending on this thread and the write fails with EPIPE, which libmbim
// reports as a failed request. The process's disposition is left alone.
#include "glib_loop.h"

#include <glib-unix.h>
#include <glib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>

namespace mbnmbim {

namespace {

// libmbim reports odd traffic (a reply nobody waits for, a malformed
// fragment) as GLib warnings on standard error, which belongs to the
// program's own one-line reasons. They are shown only on request.
void LibraryLog(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
    static const bool show = g_getenv("GLOBALTOOLS_MBIM_DEBUG") != nullptr;
    if (show) g_printerr("%s: %s\n", domain ? domain : "GLib", message);
}

// SIGPIPE blocked in the calling thread while it lives; a thread started
// meanwhile inherits the mask.
class SigpipeBlocked {
public:
    SigpipeBlocked() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
    }
    ~SigpipeBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

GlibLoop::GlibLoop() {
    g_log_set_handler("Mbim", static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK & ~G_LOG_LEVEL_ERROR), LibraryLog, nullptr);
    wakeup_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    SigpipeBlocked inherited;
    thread_ = std::thread([this] {
        loopThread_ = std::this_thread::get_id();
        g_main_context_push_thread_default(context_);
        GSource* source = g_unix_fd_source_new(wakeup_, G_IO_IN);
        g_source_set_callback(source, G_SOURCE_FUNC(&GlibLoop::Drain), this, nullptr);
        g_source_attach(source, context_);
        g_main_loop_run(loop_);
        g_source_destroy(source);
        g_source_unref(source);
        g_main_context_pop_thread_default(context_);
    });
}

GlibLoop::~GlibLoop() {
    Post([this] { g_main_loop_quit(loop_); });
    if (thread_.joinable()) thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    close(wakeup_);
}

void GlibLoop::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(work));
    }
    eventfd_write(wakeup_, 1);
}

int GlibLoop::Drain(int, unsigned, void* data) {
    auto* self = static_cast<GlibLoop*>(data);
    eventfd_t ignored = 0;
    eventfd_read(self->wakeup_, &ignored);
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->queue_.empty()) break;
            work = std::move(self->queue_.front());
            self->queue_.pop_front();
        }
        work();
    }
    return G_SOURCE_CONTINUE;
}

bool GlibLoop::OnLoopThread() const { return std::this_thread::get_id() == loopThread_.load(); }

}  // namespace mbnmbim
