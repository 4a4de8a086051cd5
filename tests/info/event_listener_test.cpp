// tavrik_info -e: the prompt, the events the module's API thread delivers, and the end.
#include <signal.h>

#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

// Generous: the scripted actions fire within a second of the module's start.
constexpr int kWaitMs = 20000;

const char kFourInputs[] = "config = 0 0 0 0 65 1";

// Lines other than IO events: the forced report of every input may fall just after the
// callback is installed when the first exchange is slow.
std::vector<std::string> withoutIoEvents(const std::string& out) {
    std::vector<std::string> lines;
    for (const std::string& line : splitLines(out)) {
        if (line.rfind("IO Event: ", 0) != 0) {
            lines.push_back(line + "\n");
        }
    }
    return lines;
}

using EventListener = InfoProgramTest;

TEST_F(EventListener, EndOfInputOrEnterClosesTheModule) {
    useModules(moduleText("A100", "1-1", kFourInputs));
    for (const char* input : {"", "\n", "some text\n"}) {
        const ProcessResult result = run({"-e", "0"}, input);
        EXPECT_EQ(withoutIoEvents(result.out),
                  (std::vector<std::string>{kListenPrompt, kThreadStoppedLine}))
            << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exitStatus, 0);
    }
}

#ifndef _WIN32
// A service manager stops the listener with SIGTERM, a closed terminal sends SIGHUP, Ctrl-C
// SIGINT: each ends it as Enter does. Standard input stays open, so only the signal can have
// ended the wait.
TEST_F(EventListener, EndSignalClosesTheModuleLikeEnter) {
    useModules(moduleText("A100", "1-1", kFourInputs));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const auto listener = start({"-e", "0"});
        ASSERT_TRUE(listener->waitForOutput(kListenPrompt, kWaitMs)) << listener->out();
        listener->sendSignal(signal);
        EXPECT_TRUE(listener->waitForOutput(kThreadStoppedLine, kWaitMs))
            << "signal " << signal << ": " << listener->out();
        const ProcessResult result = listener->finish();
        EXPECT_EQ(withoutIoEvents(result.out),
                  (std::vector<std::string>{kListenPrompt, kThreadStoppedLine}))
            << "signal " << signal << ": " << result.out;
        EXPECT_EQ(result.err, "") << "signal " << signal;
        EXPECT_EQ(result.exitStatus, 0) << "signal " << signal;
    }
}
#endif

TEST_F(EventListener, PrintsChangesAndModuleErrorsUntilInputEnds) {
    useModules(moduleText("A100", "1-1",
                          std::string(kFourInputs) + "\nat = 800 set 0 3 1\nat = 900 error -9"));
    const auto listener = start({"-e", "0"});
    ASSERT_TRUE(listener->waitForOutput("IO Event: inputs[3] 1\n", kWaitMs)) << listener->out();
    ASSERT_TRUE(listener->waitForOutput("Error Event: Timeout on i2c bus\n", kWaitMs))
        << listener->out();
    const ProcessResult result = listener->finish();
    const std::string out = result.out;
    EXPECT_LT(out.find(kListenPrompt), out.find("IO Event: inputs[3] 1\n"));
    // The module error does not stop listening: the thread ends only when the input does.
    EXPECT_EQ(withoutIoEvents(out),
              (std::vector<std::string>{kListenPrompt, "Error Event: Timeout on i2c bus\n",
                                        kThreadStoppedLine}))
        << out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(EventListener, UnpluggedModuleReportsTimeoutAndThreadEndOnce) {
    useModules(moduleText("A100", "1-1", std::string(kFourInputs) + "\nat = 800 unplug"));
    const auto listener = start({"-e", "0"});
    ASSERT_TRUE(listener->waitForOutput(kThreadStoppedLine, kWaitMs)) << listener->out();
    const ProcessResult result = listener->finish();
    EXPECT_EQ(withoutIoEvents(result.out),
              (std::vector<std::string>{kListenPrompt, "Error Event: Communication timeout\n",
                                        kThreadStoppedLine}))
        << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace tavrik::test
