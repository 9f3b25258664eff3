// The switch behind PAL_FAULT_POINT (see fault_injection.h). One plan for the
// process, guarded by a mutex: points are reached from several threads (the
// service's pool, the logger), and which call is "the k-th" must not race.
#include "fault_injection.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct Plan {
    std::string point;                  // empty: any point
    unsigned long target = 0;           // 0: off
    unsigned long calls = 0;            // calls of the planned point (of any when none is named)
    const char* failedPoint = nullptr;  // the name the call site passed, once it failed
};

std::mutex& PlanLock() {
    static std::mutex lock;
    return lock;
}

Plan& ThePlan() {
    static Plan plan = [] {
        Plan fromEnvironment;
#ifdef GLOBALTOOLS_TEST_HOOKS
        const char* setting = std::getenv("GLOBALTOOLS_FAULT");
        if (setting && *setting) {
            const char* colon = std::strrchr(setting, ':');
            if (colon) fromEnvironment.point.assign(setting, static_cast<size_t>(colon - setting));
            fromEnvironment.target = std::strtoul(colon ? colon + 1 : setting, nullptr, 10);
        }
#endif
        return fromEnvironment;
    }();
    return plan;
}

// Set while a plan is active, so that the points cost one load otherwise.
std::atomic<bool>& Armed() {
    static std::atomic<bool> armed(ThePlan().target != 0);
    return armed;
}

void Report(const char* point, unsigned long k) {
    std::string line = std::string("fault injected: ") + point + " #" + std::to_string(k) + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

}  // namespace

/***********************************************************************
 *           PalFaultInjected   (POSIX only)
 *
 * RETURNS
 *  TRUE when this call of point is the one chosen to fail (and says so on
 *  standard error), FALSE otherwise.
 */
BOOL WINAPI PalFaultInjected(const char* point) {
    if (!Armed().load(std::memory_order_acquire)) return FALSE;
    std::lock_guard<std::mutex> guard(PlanLock());
    Plan& plan = ThePlan();
    if (plan.target == 0 || plan.failedPoint) return FALSE;
    if (!plan.point.empty() && plan.point != point) return FALSE;
    if (++plan.calls != plan.target) return FALSE;
    plan.failedPoint = point;
    Report(point, plan.calls);
    return TRUE;
}

namespace pal {

void SetFault(const char* point, unsigned long k) {
    std::lock_guard<std::mutex> guard(PlanLock());
    Plan& plan = ThePlan();
    plan = Plan();
    plan.point = point ? point : "";
    plan.target = k;
    Armed().store(k != 0, std::memory_order_release);
}

const char* FailedPoint() {
    std::lock_guard<std::mutex> guard(PlanLock());
    return ThePlan().failedPoint;
}

}  // namespace pal
