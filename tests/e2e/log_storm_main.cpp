// log_storm: many threads of one process writing through the shared logger at
// once, for the soak test. Usage: log_storm <threads> <lines per thread>.
// Thread t writes "storm t=<t> n=<n>" for n = 0, 1, ...; the soak test then
// looks for each of them exactly once, whole, among other processes' lines.
#include <cstdlib>
#include <thread>
#include <vector>

#include "tools/interfaces.h"

int main(int argc, char* argv[]) {
    if (argc != 3) return 2;
    const int threads = std::atoi(argv[1]);
    const int lines = std::atoi(argv[2]);
    IGlobalTools::ILog* log = GetSharedLog();
    if (!log) return 1;
    std::vector<std::thread> storm;
    for (int t = 0; t < threads; ++t) {
        storm.emplace_back([log, t, lines] {
            for (int n = 0; n < lines; ++n) log->Log(2, "storm t=%d n=%d", t, n);
        });
    }
    for (std::thread& thread : storm) thread.join();
    log->Release();
    return 0;
}
