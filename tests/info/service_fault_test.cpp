// tavrik_info when tavrikd dies or stops answering under it: the listener reports the loss and
// ends, a write in flight fails, a hung service ends the command with an error within its
// bound, and once the service is gone the program opens the modules itself.
#include <signal.h>

#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

constexpr int kWaitMs = 10000;
const char kModule[] = "config = 0 0 0 0 65 1\npoint = 0 1 1";

class ServiceFault : public InfoProgramTest {
  protected:
    void SetUp() override {
        InfoProgramTest::SetUp();
        if (!throughService()) {
            GTEST_SKIP() << "only through the service";
        }
    }
};

TEST_F(ServiceFault, ListenerReportsTheKilledServiceAndTheModuleIsOpenedDirectlyAfter) {
    useModules(moduleText("A100", "1-1", kModule));
    const auto listener = start({"-e", "0"});
    ASSERT_TRUE(listener->waitForOutput(kListenPrompt, kWaitMs)) << listener->out();
    service().daemon().stop(SIGKILL, kWaitMs);
    EXPECT_TRUE(listener->waitForOutput(kThreadStoppedLine, kWaitMs)) << listener->out();
    const ProcessResult result = listener->finish();
    EXPECT_EQ(result.out, std::string(kListenPrompt) + "Error Event: Communication timeout\n" +
                              kThreadStoppedLine);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);

    // The bus is still there, its service gone: the program holds the module itself.
    const auto reader = start({"-i", "0", "1"});
    const ProcessResult read = reader->finish();
    EXPECT_EQ(read.out, "1\n");
    EXPECT_EQ(read.err, "");
    EXPECT_EQ(read.exitStatus, 0);
}

// The module lets the exchange that carries the value go unanswered four times, so the service
// is still retrying it, some 400 ms long, when it is killed; it would answer the fifth. The
// value may or may not have arrived, and -o must not say that it did.
TEST_F(ServiceFault, WriteInFlightWhenTheServiceIsKilledFails) {
    useModules(moduleText("A100", "1-1",
                          std::string(kModule) + "\nfault = no_reply command=2 count=4 writes=1"));
    const auto writer = start({"-o", "0", "0", "1"});
    ASSERT_TRUE(writer->waitForOutput("Setting device[0] outputs[0] to 1\n", kWaitMs))
        << writer->out();
    service().daemon().stop(SIGKILL, kWaitMs);
    const ProcessResult result = writer->finish();
    EXPECT_EQ(result.err, "Error setting output: Communication timeout\n");
    EXPECT_EQ(result.exitStatus, 255);
}

// A service that takes calls and never answers: each call has its bound, then the program
// treats the module as the busy one it is.
TEST_F(ServiceFault, StoppedServiceEndsEachCommandWithAnError) {
    useModules(moduleText("A100", "1-1", kModule));
    const auto first = start({"-h"});
    first->finish();
    service().daemon().signal(SIGSTOP);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-i", "0", "1"}, {"-o", "0", "0", "1"}, {"-e", "0"}}) {
        const ProcessResult result = start(args)->finish();
        EXPECT_EQ(result.err, "Error opening device A100 : Device is busy\n") << args[0];
        EXPECT_EQ(result.exitStatus, 255) << args[0];
    }
    service().daemon().signal(SIGCONT);
}

}  // namespace
}  // namespace tavrik::test
