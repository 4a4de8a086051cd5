#include "pending_reply.h"

#include "bus_names.h"
#include "tavrik/tavrik.h"

namespace tavrik::daemon {

int setResultError(sd_bus_error* error, int result) {
    return sd_bus_error_set(error, bus::errorName(result).c_str(), resultMessage(result).c_str());
}

void PendingReply::finish(int result) {
    if (result == Ok) {
        sd_bus_reply_method_return(call_, "");
        return;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    setResultError(&error, result);
    sd_bus_reply_method_error(call_, &error);
    sd_bus_error_free(&error);
}

}  // namespace tavrik::daemon
