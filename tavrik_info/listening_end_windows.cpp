// The console's control handler and the read of standard input both signal one event, which
// the listening waits for. The read runs on a thread of its own, because a console read cannot
// be waited for together with an event.
#include <windows.h>

#include <iostream>
#include <thread>

#include "listening_end.h"

namespace tavrik {

namespace {

// The control handler takes no context, and one listening runs at a time.
HANDLE endRequested = nullptr;
HANDLE moduleClosed = nullptr;

// Closing the console ends the process once the handler returns: it waits, a little, for the
// module to be closed first.
BOOL WINAPI onControl(DWORD type) {
    SetEvent(endRequested);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(moduleClosed, 4000);
    }
    return TRUE;
}

}  // namespace

struct ListeningEnd::State {};

ListeningEnd::ListeningEnd() : state_(std::make_unique<State>()) {
    endRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    moduleClosed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);
}

ListeningEnd::~ListeningEnd() {
    SetEvent(moduleClosed);
    SetConsoleCtrlHandler(onControl, FALSE);
    // The reading thread may still wait for input; the events stay for it until the process
    // ends.
}

void ListeningEnd::await() {
    const HANDLE requested = endRequested;
    // Returns on Enter and at the end of the input. Left to the end of the process when a
    // control event came first: a console read cannot be cancelled.
    std::thread([requested] {
        std::cin.get();
        SetEvent(requested);
    }).detach();
    WaitForSingleObject(requested, INFINITE);
}

}  // namespace tavrik
