#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hid_backend.h"
#include "tavrik_hid.h"

namespace tavrik::hid {
namespace {

struct FakeDevice : hid_device {
    std::string path;
};

// Reports its records whatever IDs are asked for, so the layer's own matching is what counts.
class FakeBackend : public HidBackend {
  public:
    std::vector<EnumeratedDevice> devices;
    int openStatus = kOpenOk;
    std::vector<std::string> opened;
    std::vector<std::vector<unsigned char>> writes;
    int writeResult = 65;

    std::vector<EnumeratedDevice> enumerate(uint16_t, uint16_t) override { return devices; }
    hid_device* openPath(const char* path, int* status) override {
        opened.push_back(path);
        *status = openStatus;
        if (openStatus != kOpenOk) {
            return nullptr;
        }
        FakeDevice* dev = new FakeDevice;
        dev->path = path;
        return dev;
    }
    int write(hid_device*, const unsigned char* data, size_t length) override {
        writes.emplace_back(data, data + length);
        return writeResult;
    }
    int readTimeout(hid_device*, unsigned char*, size_t, int) override { return 0; }
    int productString(hid_device*, wchar_t*, size_t) override { return 0; }
    void close(hid_device* dev) override { delete static_cast<FakeDevice*>(dev); }
};

FakeBackend fallbackBackend;

EnumeratedDevice record(const char* path, uint16_t vendorId, uint16_t productId,
                        std::optional<std::wstring> serial) {
    EnumeratedDevice device;
    device.path = path;
    device.vendorId = vendorId;
    device.productId = productId;
    device.serialNumber = std::move(serial);
    return device;
}

}  // namespace

HidBackend& defaultBackend() {
    return fallbackBackend;
}

namespace {

class HidLayerTest : public ::testing::Test {
  protected:
    void SetUp() override { setBackend(&fake); }
    void TearDown() override { setBackend(nullptr); }

    // Opens, returns the path of what was opened ("" for nothing) and closes it again.
    std::string openAndClose(unsigned short vendorId, unsigned short productId,
                             const wchar_t* serial, int* status) {
        hid_device* dev = hid_open(vendorId, productId, serial, status);
        if (dev == nullptr) {
            return std::string();
        }
        std::string path = static_cast<FakeDevice*>(dev)->path;
        hid_close(dev);
        return path;
    }

    FakeBackend fake;
};

TEST_F(HidLayerTest, BackendFallsBackToDefaultWhenNoneInstalled) {
    EXPECT_EQ(&backend(), &fake);
    setBackend(nullptr);
    EXPECT_EQ(&backend(), &fallbackBackend);
}

TEST_F(HidLayerTest, EnumerateCopiesEveryFieldInOrder) {
    EnumeratedDevice first = record("/dev/hidraw3", 0x04d8, 0xf713, std::wstring(L"A1"));
    first.location = "00140000.00000003.";
    first.releaseNumber = 0x0102;
    first.manufacturer = L"Maker";
    first.product = L"Module";
    first.usagePage = 0xff00;
    first.usage = 1;
    first.interfaceNumber = 2;
    fake.devices = {first, record("/dev/hidraw1", 0x04d8, 0xf2f1, std::nullopt)};

    hid_device_info* list = hid_enumerate(0x04d8, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->path, "/dev/hidraw3");
    EXPECT_STREQ(list->location, "00140000.00000003.");
    EXPECT_EQ(list->vendor_id, 0x04d8);
    EXPECT_EQ(list->product_id, 0xf713);
    EXPECT_STREQ(list->serial_number, L"A1");
    EXPECT_EQ(list->release_number, 0x0102);
    EXPECT_STREQ(list->manufacturer_string, L"Maker");
    EXPECT_STREQ(list->product_string, L"Module");
    EXPECT_EQ(list->usage_page, 0xff00);
    EXPECT_EQ(list->usage, 1);
    EXPECT_EQ(list->interface_number, 2);

    hid_device_info* second = list->next;
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->path, "/dev/hidraw1");
    EXPECT_EQ(second->location, nullptr);
    EXPECT_EQ(second->serial_number, nullptr);
    EXPECT_EQ(second->manufacturer_string, nullptr);
    EXPECT_EQ(second->product_string, nullptr);
    EXPECT_EQ(second->interface_number, -1);
    EXPECT_EQ(second->next, nullptr);
    hid_free_enumeration(list);
}

TEST_F(HidLayerTest, EmptyEnumerationIsNoList) {
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    hid_free_enumeration(nullptr);
}

struct OpenCase {
    const char* name;
    std::vector<EnumeratedDevice> devices;
    unsigned short vendorId;
    unsigned short productId;
    const wchar_t* serial;
    const char* expectedPath;  // "" when nothing opens
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

class HidOpenMatchTest : public HidLayerTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(HidOpenMatchTest, OpensFirstMatchingRecord) {
    const OpenCase& c = GetParam();
    fake.devices = c.devices;
    int status = 99;
    EXPECT_EQ(openAndClose(c.vendorId, c.productId, c.serial, &status), c.expectedPath);
    EXPECT_EQ(status, *c.expectedPath != '\0' ? kOpenOk : kOpenFailed);
    EXPECT_LE(fake.opened.size(), 1u);
}

const OpenCase kOpenCases[] = {
    {"NoSerialTakesFirstWithEqualIds",
     {record("a", 0x04d8, 0xf2f1, L"S1"), record("b", 0x04d8, 0xf713, L"S2"),
      record("c", 0x04d8, 0xf713, L"S3")},
     0x04d8,
     0xf713,
     nullptr,
     "b"},
    {"EqualSerialIsFound",
     {record("a", 0x04d8, 0xf713, L"S1"), record("b", 0x04d8, 0xf713, L"S2")},
     0x04d8,
     0xf713,
     L"S2",
     "b"},
    // A module without a readable serial is not a wildcard for the one asked for.
    {"RecordWithoutSerialIsPassedOverForTheEqualOne",
     {record("a", 0x04d8, 0xf713, L"S1"), record("b", 0x04d8, 0xf713, std::nullopt),
      record("c", 0x04d8, 0xf713, L"S2")},
     0x04d8,
     0xf713,
     L"S2",
     "c"},
    {"RecordWithoutSerialNeverStandsInForARequestedOne",
     {record("a", 0x04d8, 0xf713, std::nullopt)},
     0x04d8,
     0xf713,
     L"REAL-1",
     ""},
    {"EmptySerialMatchesAnAbsentOne",
     {record("a", 0x04d8, 0xf713, L"S1"), record("b", 0x04d8, 0xf713, std::nullopt)},
     0x04d8,
     0xf713,
     L"",
     "b"},
    {"NoSerialTakesARecordWithoutOne",
     {record("a", 0x04d8, 0xf713, std::nullopt), record("b", 0x04d8, 0xf713, L"S1")},
     0x04d8,
     0xf713,
     nullptr,
     "a"},
    {"SerialComparisonIsExact",
     {record("a", 0x04d8, 0xf713, L"s2"), record("b", 0x04d8, 0xf713, L"S2 ")},
     0x04d8,
     0xf713,
     L"S2",
     ""},
    {"EmptySerialMatchesOnlyEmptyOrAbsent",
     {record("a", 0x04d8, 0xf713, L"S1"), record("b", 0x04d8, 0xf713, L"")},
     0x04d8,
     0xf713,
     L"",
     "b"},
    {"SerialOfOtherProductIsIgnored",
     {record("a", 0x04d8, 0xf2f1, L"S1"), record("b", 0x04d8, 0xf713, L"S1")},
     0x04d8,
     0xf713,
     L"S1",
     "b"},
    {"ZeroIdsMatchNothing", {record("a", 0x04d8, 0xf713, std::nullopt)}, 0, 0, nullptr, ""},
    {"NoRecords", {}, 0x04d8, 0xf713, nullptr, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, HidOpenMatchTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return info.param.name; });

TEST_F(HidLayerTest, OpenReportsBusyFromBackend) {
    fake.devices = {record("a", 0x04d8, 0xf713, L"S1")};
    fake.openStatus = kOpenBusy;
    int status = 99;
    EXPECT_EQ(hid_open(0x04d8, 0xf713, L"S1", &status), nullptr);
    EXPECT_EQ(status, kOpenBusy);

    status = 99;
    EXPECT_EQ(hid_open_path("a", &status), nullptr);
    EXPECT_EQ(status, kOpenBusy);
}

TEST_F(HidLayerTest, OpenWorksWithoutStatus) {
    fake.devices = {record("a", 0x04d8, 0xf713, L"S1")};
    hid_device* dev = hid_open(0x04d8, 0xf713, L"S1");
    ASSERT_NE(dev, nullptr);
    hid_close(dev);
    EXPECT_EQ(hid_open(0x04d8, 0xf2f1, nullptr), nullptr);
}

TEST_F(HidLayerTest, OpenPathWithoutPathFails) {
    int status = 99;
    EXPECT_EQ(hid_open_path(nullptr, &status), nullptr);
    EXPECT_EQ(status, kOpenFailed);
    EXPECT_TRUE(fake.opened.empty());
}

struct WriteCase {
    const char* name;
    size_t length;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class HidWriteTest : public HidLayerTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(HidWriteTest, BackendAlwaysGetsFullReport) {
    fake.devices = {record("a", 0x04d8, 0xf713, std::nullopt)};
    hid_device* dev = hid_open(0x04d8, 0xf713, nullptr);
    ASSERT_NE(dev, nullptr);
    std::vector<unsigned char> data(GetParam().length);
    for (size_t i = 1; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(0x80 + i);
    }

    EXPECT_EQ(hid_write(dev, data.data(), data.size()), 65);
    ASSERT_EQ(fake.writes.size(), 1u);
    const std::vector<unsigned char>& report = fake.writes[0];
    ASSERT_EQ(report.size(), 65u);
    for (size_t i = 0; i < report.size(); ++i) {
        const unsigned char expected = i < data.size() ? data[i] : 0;
        EXPECT_EQ(report[i], expected) << "byte " << i;
    }
    hid_close(dev);
}

INSTANTIATE_TEST_SUITE_P(Lengths, HidWriteTest,
                         ::testing::Values(WriteCase{"ReportIdOnly", 1}, WriteCase{"Short", 10},
                                           WriteCase{"Exact", 65}, WriteCase{"Longer", 100}),
                         [](const auto& info) { return info.param.name; });

TEST_F(HidLayerTest, WriteRejectsWhatIsNoReport) {
    fake.devices = {record("a", 0x04d8, 0xf713, std::nullopt)};
    hid_device* dev = hid_open(0x04d8, 0xf713, nullptr);
    ASSERT_NE(dev, nullptr);
    unsigned char numbered[65] = {1};
    unsigned char plain[65] = {};
    EXPECT_EQ(hid_write(dev, numbered, sizeof numbered), -1);
    EXPECT_EQ(hid_write(dev, plain, 0), -1);
    EXPECT_EQ(hid_write(dev, nullptr, 65), -1);
    EXPECT_EQ(hid_write(nullptr, plain, sizeof plain), -1);
    EXPECT_TRUE(fake.writes.empty());

    fake.writeResult = -1;
    EXPECT_EQ(hid_write(dev, plain, sizeof plain), -1);
    hid_close(dev);
}

TEST_F(HidLayerTest, CallsWithoutDeviceFail) {
    unsigned char data[64];
    wchar_t text[65];
    EXPECT_EQ(hid_read_timeout(nullptr, data, sizeof data, 10), -1);
    EXPECT_EQ(hid_get_product_string(nullptr, text, 65), -1);
    hid_close(nullptr);
}

}  // namespace
}  // namespace tavrik::hid
