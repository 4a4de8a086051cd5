#include "program_sequence.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <ostream>

#include "hex_file.h"

namespace tavrik {

namespace {

void printLine(std::ostream& out, const std::string& text) {
    out << text << std::endl;
}

int verify(BootloaderDevice& device, const std::string& fileName) {
    uint32_t start = 0;
    uint32_t length = 0;
    uint16_t expected = 0;
    {
        HexFile file(fileName);
        file.imageCrc(&start, &length, &expected);
    }
    uint16_t reported = 0;
    const int result = device.readCrc(start, length, &reported);
    if (result != BootOk) {
        return result;
    }
    return reported == expected ? BootOk : BootVerifyFailed;
}

}  // namespace

bool isProgrammableFile(const std::string& fileName) {
    HexFile file(fileName);
    return file.isProgrammable();
}

int awaitBootloader(BootloaderDevice& device, const std::string& serial, int timeoutMs) {
    using namespace boost::posix_time;
    device.setSerial(serial);
    device.enterBootloader();
    const ptime startTime = microsec_clock::universal_time();
    for (;;) {
        int result = device.openBootloader();
        if (result == BootOk) {
            std::string version;
            result = device.bootInfo(&version);
            if (result == BootOk) {
                return BootOk;
            }
            device.close();
        }
        boost::this_thread::sleep(milliseconds(kOpenPauseMs));
        if ((microsec_clock::universal_time() - startTime).total_milliseconds() >= timeoutMs) {
            return result;
        }
    }
}

int programDevice(const std::string& serial, const std::string& fileName, std::ostream& out,
                  const BootloaderDevice::ProgressCallback& progress) {
    BootloaderDevice device;
    device.setProgressCallback(progress);

    if (!isProgrammableFile(fileName)) {
        printLine(out, "The file '" + fileName + "' is not a valid hex file");
        return BootInvalidHexFile;
    }

    out << "Searching for device" << std::flush;
    for (int attempt = 0; attempt < kSearchAttempts; ++attempt) {
        awaitBootloader(device, serial, kSearchTimeoutMs);
        if (device.isOpen()) {
            break;
        }
        out << "." << std::flush;
    }
    out << std::endl;

    // Once more with the longer time-out, also after a successful search.
    int result = awaitBootloader(device, serial, kFinalOpenTimeoutMs);
    if (result != BootOk) {
        printLine(out, "Unable to open device " + serial + " for programming.");
        return result;
    }

    int type = 0;
    device.hardwareType(&type);  // an unknown type does not stop the upgrade
    printLine(out, "Hardware type " + std::to_string(type));
    printLine(out, "Device serial number " + serial + " opened");

    printLine(out, "Erasing device...");
    result = device.erase();
    if (result != BootOk) {
        printLine(out, "Failure while erasing device.");
        return result;
    }
    printLine(out, "Device erased");

    printLine(out, "Programming device...");
    result = device.program(fileName);
    out << std::endl;
    if (result != BootOk) {
        printLine(out, "Failure while programming device.");
        return result;
    }

    printLine(out, "Verifying flash memory...");
    result = verify(device, fileName);
    if (result != BootOk) {
        printLine(out, "Device verification failed after programming.");
        return result;
    }
    printLine(out, "Flash verification passed");

    printLine(out, "Starting device application");
    result = device.startApplication();
    if (result != BootOk) {
        printLine(out, "Failed to start application code after programming.");
        return result;
    }
    printLine(out, "Device programming succesful");
    return BootOk;
}

}  // namespace tavrik
