// A descriptor that polls readable while something waits for its reader: the pollable side of
// the device's event queue and of the hot-plug monitor.
#pragma once

namespace tavrik {

class ReadySignal {
  public:
    ReadySignal();
    ReadySignal(const ReadySignal&) = delete;
    ReadySignal& operator=(const ReadySignal&) = delete;
    ~ReadySignal();

    // Readable from raise() until clear(); -1 where the platform has no such descriptor.
    int fd() const { return fd_; }
    void raise();
    void clear();

  private:
    int fd_ = -1;
};

}  // namespace tavrik
