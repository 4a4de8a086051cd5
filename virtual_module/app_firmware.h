// The module's application firmware: the 64-byte message protocol from the module's side.
#pragma once

#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "point_layout.h"
#include "virtual_module.h"

namespace tavrik::virt {

class AppFirmware {
  public:
    enum Signal { None, KeepAlive, EnterBootloader, Unplug };

    explicit AppFirmware(const ModuleConfig& config);

    // Back to the image of power-on, as after any restart.
    void powerOn();

    // Answers one request into out.
    Signal receive(const uint8_t* report, size_t length, std::deque<InputReport>& out);

    int32_t point(uint32_t type, uint32_t index) const;
    bool setPoint(uint32_t type, uint32_t index, int32_t value);
    void sendStateEvent(std::deque<InputReport>& out) const;
    void sendErrorEvent(int8_t code, std::deque<InputReport>& out) const;
    void injectFault(const Fault& fault);
    // After Unplug: the delay of the vanish fault that caused it, if the module comes back.
    std::optional<int> takeVanishReturn() { return std::exchange(vanishReturnMs_, std::nullopt); }

    const std::vector<uint8_t>& image() const { return image_; }
    uint32_t imageLength() const { return layout_.imageLength; }
    const std::vector<TavrikMessage>& requests() const { return requests_; }
    size_t requestCount(uint8_t command) const;

  private:
    bool matches(const Fault& fault, const TavrikMessage& request) const;
    bool changesWritablePoints(const TavrikMessage& request) const;
    void takeHostImage(const TavrikMessage& request, std::vector<uint8_t>& image) const;
    bool answer(const TavrikMessage& request, TavrikMessage& reply);
    void answerStatus(TavrikMessage& reply) const;
    void answerBasicState(const TavrikMessage& request, TavrikMessage& reply);
    void answerExtendedState(const TavrikMessage& request, TavrikMessage& reply);
    int answerInfoBlock(const TavrikMessage& request, TavrikMessage& reply) const;
    void answerIoConfig(const TavrikMessage& request, TavrikMessage& reply) const;
    void copyImage(uint8_t* to, size_t offset, size_t size) const;
    void send(const TavrikMessage& message, bool late, std::deque<InputReport>& out) const;

    const ModuleConfig& config_;
    const PointLayout layout_;
    std::optional<int> vanishReturnMs_;
    std::vector<uint8_t> image_;
    uint8_t infoBlock_[kInfoBlockSize] = {};
    std::vector<Fault> faults_;
    std::vector<TavrikMessage> requests_;
};

}  // namespace tavrik::virt
