// Runs a program as a child process with a deadline, for the whole-program
// robustness tests: its standard output and error are collected, and a child
// still running at the deadline is killed, so no test waits without bound.
#ifndef TESTS_SUPPORT_CHILD_PROCESS_H
#define TESTS_SUPPORT_CHILD_PROCESS_H

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace e2e {

struct ChildRun {
    bool killedAtDeadline = false;
    bool exited = false;  // ended by exit, not by a signal
    int status = -1;      // the exit status when exited
    std::string out;
    std::string err;
    long elapsedMs = 0;
};

// Waits for the child pid at most timeoutMs, then kills it. Its exit
// status; -1 when it had to be killed or did not end by exit.
inline int ReapWithin(pid_t pid, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (reaped < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5 * 1000);
    }
}

// The environment of this process with the given entries added (an entry
// replaces one of the same name).
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& entries) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const std::string& added : entries)
            replaced = replaced || entry.compare(0, added.find('=') + 1, added, 0, added.find('=') + 1) == 0;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), entries.begin(), entries.end());
    return env;
}

// A user other than 0 is taken (as user and group) by the child before it
// starts the program; it exits with 126 when it cannot.
inline ChildRun RunChild(std::vector<std::string> args, std::vector<std::string> env,
                         std::chrono::milliseconds deadline, uid_t user = 0) {
    ChildRun run;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0) return run;
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        if (user != 0 && (setgid(user) != 0 || setuid(user) != 0)) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0 && child > 0) {
        const auto left =
            deadline - std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (left.count() <= 0) {
            kill(child, SIGKILL);
            run.killedAtDeadline = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        run.exited = true;
        run.status = WEXITSTATUS(status);
    }
    run.elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    return run;
}

}  // namespace e2e

#endif  // TESTS_SUPPORT_CHILD_PROCESS_H
