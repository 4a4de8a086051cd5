// hidapi as the Windows build patches it, under the system's own sharing rules: a path that
// another handle holds for writing opens as busy, and nothing falls back to a handle that
// cannot read or write. A plain file stands in for the device: no HID device exists here, and
// the sharing check comes before anything HID-specific.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "hidapi_platform.h"
#include "scratch_dir.h"
#include "tavrik_hid.h"

namespace tavrik::hid {
namespace {

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out += *text < 128 ? static_cast<char>(*text) : '?';
    }
    return out;
}

class WindowsOpenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // hidapi needs configuration-manager functions that older Wine releases lack.
        if (::hid_init() != 0) {
            GTEST_SKIP() << "hidapi cannot start here: " << narrow(::hid_error(nullptr));
        }
    }

    void TearDown() override {
        if (holder_ != INVALID_HANDLE_VALUE) {
            CloseHandle(holder_);
        }
    }

    // Another program's handle on the path.
    void hold(DWORD access, DWORD sharing) {
        holder_ = CreateFileA(path_.c_str(), access, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder_, INVALID_HANDLE_VALUE) << GetLastError();
    }

    int openStatus() {
        int status = 12345;
        ExclusiveClaim claim = 0;
        ::hid_device* handle = openExclusive(path_.c_str(), &status, &claim);
        EXPECT_EQ(handle, nullptr);  // a plain file is no HID device
        return status;
    }

    test::ScratchDir scratch_{"tavrik-windows-open"};
    const std::string path_ = scratch_.file("device", "not a HID device");
    HANDLE holder_ = INVALID_HANDLE_VALUE;
};

TEST_F(WindowsOpenTest, HeldForWritingIsBusy) {
    // As the patched hidapi holds an open module: write access, read-sharing only.
    hold(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    EXPECT_EQ(openStatus(), kOpenBusy);
}

TEST_F(WindowsOpenTest, SharedHandlesDoNotMakeItBusy) {
    // Attribute queries, as hidapi's enumeration makes them, share everything.
    hold(0, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(openStatus(), kOpenFailed);
}

TEST_F(WindowsOpenTest, NothingHeldFailsOnlyAsNoHidDevice) {
    EXPECT_EQ(openStatus(), kOpenFailed);
}

TEST(WindowsLocationKey, UnknownInterfaceHasNoKey) {
    EXPECT_EQ(
        locationKeyOfPath("\\\\?\\hid#vid_04d8&pid_f713#0#{4d1e55b2-f16f-11cf-88cb-001111000030}"),
        std::nullopt);
}

}  // namespace
}  // namespace tavrik::hid
