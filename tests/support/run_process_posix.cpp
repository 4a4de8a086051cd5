#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// Starts program with its three standard streams on pipes; child.pid is -1 on failure.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

Child spawn(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env, std::string& error) {
    Child child;
    Pipe in, out, err;
    if (!in.open() || !out.open() || !err.open()) {
        error = "pipe failed";
        return child;
    }
    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = buildEnvironment(env);
    std::vector<char*> argv = pointers(argStrings);
    std::vector<char*> envp = pointers(envStrings);

    const pid_t pid = fork();
    if (pid < 0) {
        error = "fork failed";
        return child;
    }
    if (pid == 0) {
        dup2(in.fd[0], STDIN_FILENO);
        dup2(out.fd[1], STDOUT_FILENO);
        dup2(err.fd[1], STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    child.pid = pid;
    std::swap(child.in, in.fd[1]);
    std::swap(child.out, out.fd[0]);
    std::swap(child.err, err.fd[0]);
    return child;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessResult runProcess(const std::string& program, const ProcessOptions& options) {
    ProcessResult result;
    const Child child = spawn(program, options.args, options.env, result.err);
    if (child.pid < 0) {
        return result;
    }

    // A child that exits early must not kill the test with SIGPIPE.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    exchange(child.in, child.out, child.err, options.input, result);  // closes all three
    sigaction(SIGPIPE, &previous, nullptr);

    result.exitStatus = waitExit(child.pid);
    return result;
}

RunningProcess::RunningProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env) {
    const Child child = spawn(program, args, env, collected_.err);
    pid_ = child.pid;
    inFd_ = child.in;
    outFd_ = child.out;
    errFd_ = child.err;
}

RunningProcess::~RunningProcess() {
    if (pid_ >= 0) {
        finish();
    }
}

bool RunningProcess::readAvailable(int timeoutMs) {
    // poll() on two closed descriptors would sleep out the whole timeout, without end for -1.
    if (outFd_ < 0 && errFd_ < 0) {
        return false;
    }
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) {
        return false;
    }
    char buffer[4096];
    int* readers[2] = {&outFd_, &errFd_};
    std::string* sinks[2] = {&collected_.out, &collected_.err};
    for (int i = 0; i < 2; ++i) {
        if (ready > 0 && *readers[i] >= 0 && (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = ::read(*readers[i], buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(*readers[i]);
                *readers[i] = -1;
            }
        }
    }
    return outFd_ >= 0 || errFd_ >= 0;
}

bool RunningProcess::waitForOutput(const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (collected_.out.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readAvailable(static_cast<int>(left.count()))) {
            return collected_.out.find(text) != std::string::npos;
        }
    }
    return true;
}

void RunningProcess::sendSignal(int signal) {
    if (pid_ >= 0) {
        kill(pid_, signal);
    }
}

ProcessResult RunningProcess::finish() {
    if (pid_ < 0) {
        return collected_;
    }
    if (inFd_ >= 0) {
        ::close(inFd_);
        inFd_ = -1;
    }
    while (readAvailable(-1)) {
    }
    collected_.exitStatus = waitExit(pid_);
    pid_ = -1;
    return collected_;
}

}  // namespace tavrik::test
