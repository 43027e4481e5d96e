#include "pipe_runner.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/agent.h"

namespace bench {

PipeRun runThroughPipe(const std::string& program, const std::string& input, const std::string& statePath,
                       bool keepOutput) {
    std::signal(SIGPIPE, SIG_IGN);
    auto start = std::chrono::steady_clock::now();
    const testing_support::ChildProcess child = testing_support::spawnProgram(program, statePath);
    close(child.err);  // neither program writes there
    const pid_t pid = child.pid;

    PipeRun run;
    std::size_t written = 0;
    bool inOpen = true;
    char buffer[1 << 16];
    for (;;) {
        pollfd fds[2] = {{child.out, POLLIN, 0}, {child.in, POLLOUT, 0}};
        nfds_t count = inOpen ? 2 : 1;
        if (poll(fds, count, -1) < 0) continue;
        if (inOpen && fds[1].revents) {
            ssize_t n = write(child.in, input.data() + written, std::min<std::size_t>(input.size() - written, 1 << 16));
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size()) {
                close(child.in);
                inOpen = false;
            }
        }
        if (fds[0].revents) {
            ssize_t n = read(child.out, buffer, sizeof buffer);
            if (n <= 0) break;
            run.outputBytes += static_cast<std::size_t>(n);
            run.outputLines += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
            if (keepOutput) run.output.append(buffer, static_cast<std::size_t>(n));
        }
    }
    if (inOpen) close(child.in);
    close(child.out);
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

}  // namespace bench
