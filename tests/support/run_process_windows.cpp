// The Windows side of run_process.h: CreateProcess with its standard streams on anonymous
// pipes, one reader thread per output so a child filling one pipe never blocks on the other.
#include "run_process.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

namespace tavrik::test {

namespace {

void closeHandle(HANDLE& h) {
    if (h != nullptr) {
        CloseHandle(h);
        h = nullptr;
    }
}

std::string upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

// The name part of "NAME=value"; the per-drive entries ("=C:=C:\dir") start with '='.
std::string nameOf(const std::string& entry) {
    return entry.substr(0, entry.find('=', 1));
}

// The inherited environment with extra added or replacing, as a block of NUL-ended entries
// ended by one more NUL. Windows compares names without case and expects the block sorted.
std::string buildEnvironment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> replaced;
    for (const auto& entry : extra) {
        replaced.push_back(upper(entry.first));
    }
    std::vector<std::string> env;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* e = block; *e != '\0'; e += std::char_traits<char>::length(e) + 1) {
            const std::string entry = e;
            const std::string name = upper(nameOf(entry));
            if (std::find(replaced.begin(), replaced.end(), name) == replaced.end()) {
                env.push_back(entry);
            }
        }
        FreeEnvironmentStringsA(block);
    }
    for (const auto& [name, value] : extra) {
        env.push_back(name + "=" + value);
    }
    std::stable_sort(env.begin(), env.end(), [](const std::string& a, const std::string& b) {
        return upper(nameOf(a)) < upper(nameOf(b));
    });
    std::string result;
    for (const std::string& entry : env) {
        result += entry;
        result += '\0';
    }
    if (env.empty()) {
        result += '\0';
    }
    result += '\0';
    return result;
}

// Quotes arg so that the C runtime's parser (and CommandLineToArgvW) gives it back unchanged:
// backslashes are literal except before a quote, where they pair up and one more escapes it.
std::string quoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // Doubled so the closing quote stays a quote.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string commandLine(const std::string& program, const std::vector<std::string>& args) {
    // The program name is parsed without backslash escapes, and a path holds no quotes.
    std::string line = "\"" + program + "\"";
    for (const std::string& arg : args) {
        line += ' ';
        line += quoteArgument(arg);
    }
    return line;
}

// What a POSIX shell would report: exit(-1) reads 255, while an exception code (an
// NTSTATUS error such as 0xC0000005) means it did not end normally, like a signal.
int exitStatusOf(DWORD code) {
    if (code >= 0xC0000000u && code < 0xFFFFFF00u) {
        return -1;
    }
    return static_cast<int>(code & 0xffu);
}

// Handles are only made inheritable while one child is created, so that two children started
// from different threads never hold each other's pipe ends (which would hide the end of input).
std::mutex spawnMutex;

// A Windows console program ends each line with CR LF, and the tests expect the lines as
// written. Each CR LF reads as LF; a bare LF, which such a program never writes, shows as the
// text "<bare LF>" so that it matches no expected line.
std::string consoleText(const std::string& raw) {
    std::string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
            continue;
        }
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) {
            text += "<bare LF>";
        }
        text += raw[i];
    }
    return text;
}

// One started child and the threads reading its outputs.
class ChildProcess {
  public:
    HANDLE process = nullptr;
    HANDLE in = nullptr;  // our end of its standard input

    std::mutex mutex;
    std::condition_variable changed;
    std::string out, err;  // what the readers have collected, under mutex
    int openOutputs = 0;   // readers still running, under mutex
    std::thread outReader, errReader;

    ~ChildProcess() {
        closeHandle(in);
        join();
        closeHandle(process);
    }

    // Starts program; on failure error says why and exitStatus is what to report.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, std::string& error, int& exitStatus) {
        HANDLE pipes[3][2] = {};  // [stream][0 read, 1 write]
        auto closeAll = [&pipes] {
            for (auto& pipe : pipes) {
                closeHandle(pipe[0]);
                closeHandle(pipe[1]);
            }
        };
        for (auto& pipe : pipes) {
            if (!CreatePipe(&pipe[0], &pipe[1], nullptr, 0)) {
                error = "CreatePipe failed: error " + std::to_string(GetLastError());
                closeAll();
                return false;
            }
        }
        // The child's ends: stdin's read end, the outputs' write ends.
        HANDLE childEnds[3] = {pipes[0][0], pipes[1][1], pipes[2][1]};

        std::string environment = buildEnvironment(env);
        std::string line = commandLine(program, args);

        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childEnds[0];
        startup.hStdOutput = childEnds[1];
        startup.hStdError = childEnds[2];

        PROCESS_INFORMATION info = {};
        BOOL created = FALSE;
        DWORD createError = 0;
        {
            std::lock_guard<std::mutex> lock(spawnMutex);
            for (HANDLE h : childEnds) {
                SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            }
            created = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                     environment.data(), nullptr, &startup, &info);
            createError = GetLastError();
            // Closed here so that only the child holds them and its exit ends our reads.
            closeHandle(pipes[0][0]);
            closeHandle(pipes[1][1]);
            closeHandle(pipes[2][1]);
        }
        if (!created) {
            error = "CreateProcess " + program + " failed: error " + std::to_string(createError);
            exitStatus = 127;  // what exec failing in a POSIX child reports
            closeAll();
            return false;
        }
        CloseHandle(info.hThread);
        process = info.hProcess;
        in = pipes[0][1];
        pipes[0][1] = nullptr;
        openOutputs = 2;
        outReader = std::thread(&ChildProcess::read, this, pipes[1][0], &out);
        errReader = std::thread(&ChildProcess::read, this, pipes[2][0], &err);
        return true;
    }

    // Runs on its own thread until the child (and anything it passed the pipe to) closes it.
    void read(HANDLE pipe, std::string* sink) {
        char buffer[4096];
        DWORD n = 0;
        // A zero-byte read is someone's empty write, not the end: that comes as an error.
        while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr)) {
            std::lock_guard<std::mutex> lock(mutex);
            sink->append(buffer, n);
            changed.notify_all();
        }
        CloseHandle(pipe);
        std::lock_guard<std::mutex> lock(mutex);
        --openOutputs;
        changed.notify_all();
    }

    // Writes all of input unless the child stops reading it by closing or ending.
    void write(const std::string& input) {
        size_t written = 0;
        while (in != nullptr && written < input.size()) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(input.size() - written, 65536));
            DWORD n = 0;
            if (!WriteFile(in, input.data() + written, chunk, &n, nullptr)) {
                break;
            }
            written += n;
        }
    }

    void join() {
        if (outReader.joinable()) {
            outReader.join();
        }
        if (errReader.joinable()) {
            errReader.join();
        }
    }

    // Copies what the readers have so far into result.
    void collect(ProcessResult& result) {
        std::lock_guard<std::mutex> lock(mutex);
        result.out = consoleText(out);
        result.err = consoleText(err);
    }

    // Closes its input, waits for both outputs to close and for it to end.
    void finish(ProcessResult& result) {
        closeHandle(in);
        join();
        collect(result);
        if (process != nullptr) {
            WaitForSingleObject(process, INFINITE);
            DWORD code = 0;
            result.exitStatus = GetExitCodeProcess(process, &code) ? exitStatusOf(code) : -1;
            closeHandle(process);
        }
    }
};

}  // namespace

struct RunningProcess::Child : ChildProcess {};

ProcessResult runProcess(const std::string& program, const ProcessOptions& options) {
    ProcessResult result;
    ChildProcess child;
    if (!child.start(program, options.args, options.env, result.err, result.exitStatus)) {
        return result;
    }
    child.write(options.input);
    child.finish(result);
    return result;
}

RunningProcess::RunningProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env)
    : child_(std::make_unique<Child>()) {
    if (!child_->start(program, args, env, collected_.err, collected_.exitStatus)) {
        child_.reset();
    }
}

RunningProcess::~RunningProcess() {
    if (child_) {
        finish();
    }
}

bool RunningProcess::waitForOutput(const std::string& text, int timeoutMs) {
    if (!child_) {
        return collected_.out.find(text) != std::string::npos;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    {
        std::unique_lock<std::mutex> lock(child_->mutex);
        child_->changed.wait_until(lock, deadline, [&] {
            return consoleText(child_->out).find(text) != std::string::npos ||
                   child_->openOutputs == 0;
        });
    }
    child_->collect(collected_);
    return collected_.out.find(text) != std::string::npos;
}

ProcessResult RunningProcess::finish() {
    if (child_) {
        child_->finish(collected_);
        child_.reset();
    }
    return collected_;
}

}  // namespace tavrik::test
