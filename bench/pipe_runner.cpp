#include "pipe_runner.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bench {

namespace {

// A pipe whose two ends are closed on exec (pipe2 is Linux-only).
bool closeOnExecPipe(int fds[2]) {
#ifdef __linux__
    return pipe2(fds, O_CLOEXEC) == 0;
#else
    if (pipe(fds) != 0) return false;
    return fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0;
#endif
}

}  // namespace

PipeRun runThroughPipe(const std::string& program, const std::string& input,
                       const std::vector<std::string>& environment, bool keepOutput) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (!closeOnExecPipe(in) || !closeOnExecPipe(out)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};

    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
        throw std::runtime_error("spawn " + program);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);

    PipeRun run;
    std::size_t written = 0;
    bool inOpen = true;
    char buffer[1 << 16];
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        nfds_t count = inOpen ? 2 : 1;
        if (poll(fds, count, -1) < 0) continue;
        if (inOpen && fds[1].revents) {
            ssize_t n = write(in[1], input.data() + written, std::min<std::size_t>(input.size() - written, 1 << 16));
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size()) {
                close(in[1]);
                inOpen = false;
            }
        }
        if (fds[0].revents) {
            ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            run.outputBytes += static_cast<std::size_t>(n);
            run.outputLines += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
            if (keepOutput) run.output.append(buffer, static_cast<std::size_t>(n));
        }
    }
    if (inOpen) close(in[1]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

}  // namespace bench
