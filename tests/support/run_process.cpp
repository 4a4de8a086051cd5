#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tavrik::test {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
    void closeEnd(int i) {
        if (fd[i] >= 0) {
            ::close(fd[i]);
            fd[i] = -1;
        }
    }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
};

std::vector<std::string> buildEnvironment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (extra.count(name) == 0) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : extra) {
        env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) {
        p.push_back(s.data());
    }
    p.push_back(nullptr);
    return p;
}

// Feeds input and drains both outputs together, so a child filling one pipe never blocks.
void exchange(int inFd, int outFd, int errFd, const std::string& input, ProcessResult& result) {
    size_t written = 0;
    if (input.empty()) {
        ::close(inFd);
        inFd = -1;
    }
    char buffer[4096];
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = ::write(inFd, input.data() + written, input.size() - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
            }
            if (n < 0 || written == input.size()) {
                ::close(inFd);
                inFd = -1;
            }
        }
        int* readers[2] = {&outFd, &errFd};
        std::string* sinks[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (*readers[i] >= 0 && (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                const ssize_t n = ::read(*readers[i], buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(*readers[i]);
                    *readers[i] = -1;
                }
            }
        }
    }
    if (inFd >= 0) {
        ::close(inFd);
    }
}

}  // namespace

ProcessResult runProcess(const std::string& program, const ProcessOptions& options) {
    ProcessResult result;
    Pipe in, out, err;
    if (!in.open() || !out.open() || !err.open()) {
        result.err = "pipe failed";
        return result;
    }
    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
    std::vector<std::string> envStrings = buildEnvironment(options.env);
    std::vector<char*> argv = pointers(argStrings);
    std::vector<char*> envp = pointers(envStrings);

    const pid_t pid = fork();
    if (pid < 0) {
        result.err = "fork failed";
        return result;
    }
    if (pid == 0) {
        dup2(in.fd[0], STDIN_FILENO);
        dup2(out.fd[1], STDOUT_FILENO);
        dup2(err.fd[1], STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);

    // A child that exits early must not kill the test with SIGPIPE.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    exchange(in.fd[1], out.fd[0], err.fd[0], options.input, result);
    in.fd[1] = out.fd[0] = err.fd[0] = -1;  // closed by exchange
    sigaction(SIGPIPE, &previous, nullptr);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace tavrik::test
