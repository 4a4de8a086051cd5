#include "info_program_fixture.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>

#include "point_layout.h"

namespace tavrik::test {

const char kSeparatorLine[] = "------------------------------------------\n";
const char kListenPrompt[] = "Listening for events...  Press enter to exit\n";
const char kThreadStoppedLine[] = "Error Event: API thread has stopped running\n";

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
const char kNobody[] = "65534";
#endif

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

std::string moduleText(const std::string& serial, const std::string& location,
                       const std::string& extra) {
    return "[module]\nserial = " + serial + "\nlocation = " + location + "\n" + extra + "\n";
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

void InfoProgramTest::SetUp() {
    // Readable by the unprivileged user that some runs take on.
    fs::permissions(scratch_.path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
    fs::create_directories(TAVRIK_CONFIG_DIR);
    fs::remove(configPath());
    useModules("");
}

void InfoProgramTest::TearDown() {
    endService();
    fs::remove(configPath());
}

bool InfoProgramTest::throughService() {
#ifdef _WIN32
    return false;
#else
    return viaService();
#endif
}

// The scenario, and through the service a tavrikd that holds its modules: each run ends it, so
// that the next starts from the scenario's module state.
std::map<std::string, std::string> InfoProgramTest::programEnv() {
    std::map<std::string, std::string> env{{"TAVRIK_VIRTUAL_SCENARIO", scenario_}};
#ifndef _WIN32
    if (throughService()) {
        if (!service_) {
            service_ = std::make_unique<TestService>();
        }
        // Programs started side by side share the one tavrikd.
        if (!service_->daemon().running() && !service_->start(scenario_)) {
            ADD_FAILURE() << service_->why();
        }
        const std::map<std::string, std::string> client = service_->clientEnv();
        env.insert(client.begin(), client.end());
    }
#endif
    return env;
}

void InfoProgramTest::endService() {
#ifndef _WIN32
    if (service_ && service_->daemon().running()) {
        EXPECT_EQ(service_->stop(), 0) << "tavrikd did not end cleanly";
    }
#endif
}

void InfoProgramTest::useModules(const std::string& modules, bool logged) {
    writeFile(scenario_, (logged ? "log = " + log_ + "\n" : std::string()) + modules);
    fs::remove(log_);
}

ProcessResult InfoProgramTest::run(const std::vector<std::string>& args, const std::string& input) {
    ProcessOptions options;
    options.args = args;
    options.env = programEnv();
    options.input = input;
    const ProcessResult result = runProcess(TAVRIK_INFO_PROGRAM, options);
    endService();
    return result;
}

#ifndef _WIN32
ProcessResult InfoProgramTest::runUnprivileged(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.env = programEnv();
    if (geteuid() == 0) {
        options.args = {std::string("--reuid=") + kNobody, std::string("--regid=") + kNobody,
                        "--clear-groups", TAVRIK_INFO_PROGRAM};
        options.args.insert(options.args.end(), args.begin(), args.end());
        const ProcessResult result = runProcess("/usr/bin/setpriv", options);
        endService();
        return result;
    }
    // An ordinary user may still own the test directory: take its write permission away.
    const fs::perms before = fs::status(TAVRIK_CONFIG_DIR).permissions();
    fs::permissions(TAVRIK_CONFIG_DIR,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    options.args = args;
    ProcessResult result = runProcess(TAVRIK_INFO_PROGRAM, options);
    endService();
    fs::permissions(TAVRIK_CONFIG_DIR, before);
    return result;
}
#endif

std::unique_ptr<RunningProcess> InfoProgramTest::start(const std::vector<std::string>& args) {
    // Through the service, tavrikd runs on until the next run or the test's end.
    return std::make_unique<RunningProcess>(TAVRIK_INFO_PROGRAM, args, programEnv());
}

// Through the service, the module traffic of the program and of tavrikd together.
std::string InfoProgramTest::logText() const {
#ifndef _WIN32
    if (service_) {
        return readFile(log_) + service_->log();
    }
#endif
    return readFile(log_);
}

size_t InfoProgramTest::requestCount(uint8_t command, uint8_t mode) const {
    size_t count = 0;
    for (const std::string& line : splitLines(logText())) {
        if (line.rfind("app ", 0) != 0) {
            continue;
        }
        const std::vector<uint8_t> message = fromHex(line.substr(4));
        if (message.size() > 4 && message[1] == command && message[4] == mode) {
            ++count;
        }
    }
    return count;
}

std::vector<uint8_t> InfoProgramTest::finalImage(const std::string& serial) const {
    const std::string prefix = "state " + serial + " ";
    for (const std::string& line : splitLines(logText())) {
        if (line.rfind(prefix, 0) == 0) {
            return fromHex(line.substr(prefix.size()));
        }
    }
    ADD_FAILURE() << "no final state of " << serial << " in the log";
    return {};
}

int32_t InfoProgramTest::finalValue(const std::string& serial, const std::vector<uint8_t>& config,
                                    uint32_t type, uint32_t index, bool extended) const {
    const std::vector<uint8_t> image = finalImage(serial);
    const virt::PointLayout layout = virt::layoutFor(config, extended);
    const virt::PointSlot* slot = layout.find(type, index);
    if (slot == nullptr || image.size() < layout.imageLength) {
        ADD_FAILURE() << "no point " << type << "/" << index << " in the final state of " << serial;
        return -1;
    }
    return virt::hostValue(*slot, virt::readRaw(image, *slot));
}

std::string InfoProgramTest::configPath() const {
    return std::string(TAVRIK_CONFIG_DIR) + "/tavrik.ini";
}

void InfoProgramTest::writeConfig(const std::string& text) const {
    writeFile(configPath(), text);
}

std::string InfoProgramTest::readConfig() const {
    std::string text = readFile(configPath());
#ifdef _WIN32
    // The profile functions write their lines with CR LF.
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
#endif
    return text;
}

bool InfoProgramTest::configExists() const {
    return fs::exists(configPath());
}

}  // namespace tavrik::test
