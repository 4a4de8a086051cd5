// The module's bootloader: frames in 64-byte reports, its commands and the flash window.
#pragma once

#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "boot_frame.h"
#include "virtual_module.h"

namespace tavrik::virt {

class BootFirmware {
  public:
    enum Signal { None, StartApplication, Unplug };

    explicit BootFirmware(const ModuleConfig& config);

    // A restart forgets any frame half received.
    void powerOn();

    Signal receive(const uint8_t* report, size_t length, std::deque<InputReport>& out);
    void injectFault(const Fault& fault);
    // After Unplug: the delay of the vanish fault that caused it, if the module comes back.
    std::optional<int> takeVanishReturn() { return std::exchange(vanishReturnMs_, std::nullopt); }

    const std::vector<uint8_t>& flash() const { return flash_; }
    uint32_t programmedStart() const { return lowest_ < highestEnd_ ? lowest_ : 0; }
    uint32_t programmedEnd() const { return lowest_ < highestEnd_ ? highestEnd_ : 0; }
    const std::vector<std::vector<uint8_t>>& requests() const { return requests_; }

  private:
    Signal handle(const std::vector<uint8_t>& request, std::deque<InputReport>& out);
    void erase();
    void program(const uint8_t* records, size_t length);
    void placeData(uint32_t address, const uint8_t* data, size_t count);
    uint16_t crcOf(uint32_t start, uint32_t length) const;
    void reply(uint8_t command, std::vector<uint8_t> payload, std::deque<InputReport>& out);
    std::vector<Fault>::iterator firingFault(uint8_t command, bool vanish);

    const ModuleConfig& config_;
    FrameDecoder decoder_;
    std::vector<uint8_t> flash_;
    uint32_t segment_ = 0;  // address offsets of the records, kept from frame to frame
    uint32_t linear_ = 0;
    uint32_t lowest_ = 0xFFFFFFFF;
    uint32_t highestEnd_ = 0;
    std::optional<uint32_t> stuckOffset_;
    std::optional<int> vanishReturnMs_;
    bool stuckArmed_ = false;
    int programFramesLeft_ = -1;  // before the unplug, when armed
    std::vector<Fault> faults_;
    std::vector<std::vector<uint8_t>> requests_;
};

}  // namespace tavrik::virt
