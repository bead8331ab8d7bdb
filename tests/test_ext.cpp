#include "app/ext.h"

#include <gtest/gtest.h>

#include <cstring>

#include "confighome.h"

using namespace std::string_literals;

namespace {

const char Settings[] = "Ostrel\\vintrop";

// Stores raw bytes of any type, as a hand-edited or foreign registry may hold them.
void store(const char* Name, DWORD Type, const std::string& Bytes) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Ostrel\\vintrop", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, Name, 0, Type, reinterpret_cast<const BYTE*>(Bytes.data()),
                            static_cast<DWORD>(Bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// Each test works on a store of its own in a fresh folder; every routine must close its key.
class ExtTest : public ::testing::Test, protected TConfigHome {
protected:
    void TearDown() override { EXPECT_EQ(Registry::OpenHandleCount(), 0u); }
};

TEST_F(ExtTest, WrittenValuesAreReadBackInTheNextRun) {
    EXPECT_EQ(WriteStringValue(Settings, "Gate Address", "sms.example.net"), 1);
    EXPECT_EQ(WriteStringValue(Settings, "Name1", ""), 1);
    EXPECT_EQ(WriteDwordValue(Settings, "SMTP Port", static_cast<DWORD>(-25)), 1);
    Registry::Reset();

    char buffer[RegBufferSize];
    EXPECT_EQ(ReadStringValue(Settings, "Gate Address", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "sms.example.net");
    EXPECT_EQ(ReadStringValue(Settings, "Name1", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
    DWORD port = 0;
    EXPECT_EQ(ReadDwordValue(Settings, "SMTP Port", &port), 1);
    EXPECT_EQ(port, 4294967271u);

    // The key is the subkey below "Software".
    HKEY key = OpenUserKey(Settings);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(RegQueryValueEx(key, "Gate Address", nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    HKEY direct;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Ostrel\\vintrop", 0, KEY_READ, &direct),
              ERROR_SUCCESS);
    RegCloseKey(direct);
}

TEST_F(ExtTest, MissingKeyOrValueReadsNothing) {
    EXPECT_EQ(OpenUserKey(Settings), nullptr);
    ASSERT_EQ(WriteStringValue(Settings, "Present", "x"), 1);
    const struct {
        const char* SubKey;
        const char* Name;
    } cases[] = {
        {"Missing\\Key", "SMTP Server"},
        {Settings, "SMTP Server"},
    };
    for (const auto& c : cases) {
        char buffer[RegBufferSize] = "kept";
        DWORD value = 12345;
        EXPECT_EQ(ReadStringValue(c.SubKey, c.Name, buffer, sizeof buffer), 0);
        EXPECT_EQ(ReadDwordValue(c.SubKey, c.Name, &value), 0);
        EXPECT_EQ(value, 12345u);
    }
}

TEST_F(ExtTest, StringFitsA260ByteBufferWithItsNulOrCountsAsAbsent) {
    const struct {
        DWORD Type;
        std::string Stored;
        int Result;
        std::string Read;
    } cases[] = {
        {REG_SZ, std::string(259, 'a') + '\0', 1, std::string(259, 'a')},
        {REG_SZ, std::string(260, 'a') + '\0', 0, ""},
        {REG_SZ, std::string(300, 'a') + '\0', 0, ""},
        {REG_SZ, "abc", 1, "abc"}, // stored without its NUL
        {REG_SZ, std::string(259, 'b'), 1, std::string(259, 'b')},
        {REG_SZ, std::string(260, 'b'), 0, ""},
        {REG_SZ, "", 1, ""},
        {REG_SZ, "ab\0cd\0"s, 1, "ab"},
        {REG_DWORD, "abc\0"s, 1, "abc"}, // the type is not checked
        {REG_BINARY, "\xC8\xE2\xE0\xED", 1, "\xC8\xE2\xE0\xED"},
    };
    for (const auto& c : cases) {
        store("V", c.Type, c.Stored);
        char buffer[RegBufferSize + 1];
        std::memset(buffer, 'Z', sizeof buffer);
        EXPECT_EQ(ReadStringValue(Settings, "V", buffer, RegBufferSize), c.Result)
            << c.Stored.size() << " bytes";
        if (c.Result) {
            EXPECT_EQ(std::string(buffer), c.Read);
        }
        EXPECT_EQ(buffer[RegBufferSize], 'Z'); // nothing beyond the buffer
    }
}

TEST_F(ExtTest, DwordIsAtMostFourBytesOfAnyType) {
    const struct {
        DWORD Type;
        std::string Stored;
        int Result;
        DWORD Read;
    } cases[] = {
        {REG_DWORD, "\x19\0\0\0"s, 1, 25}, {REG_DWORD, "\xff\xff\xff\xff", 1, 0xFFFFFFFF},
        {REG_SZ, "1\0"s, 1, 0x31}, // missing high bytes read as zero
        {REG_SZ, "abc\0"s, 1, 0x00636261}, {REG_BINARY, "", 1, 0},
        {REG_SZ, "abcd\0"s, 0, 0},         {REG_BINARY, "\x01\0\0\0\0\0\0\0"s, 0, 0},
    };
    for (const auto& c : cases) {
        store("V", c.Type, c.Stored);
        DWORD value = 0xA5A5A5A5;
        EXPECT_EQ(ReadDwordValue(Settings, "V", &value), c.Result) << c.Stored.size() << " bytes";
        EXPECT_EQ(value, c.Result ? c.Read : 0xA5A5A5A5);
    }
}

TEST_F(ExtTest, WritesReportFailureAndRefuseTextsThatCouldNotBeRead) {
    const std::string longest(259, 'x'), tooLong(260, 'y');
    char buffer[RegBufferSize];
    EXPECT_EQ(WriteStringValue(Settings, "T", longest.c_str()), 1);
    EXPECT_EQ(WriteStringValue(Settings, "T", tooLong.c_str()), 0);
    EXPECT_EQ(ReadStringValue(Settings, "T", buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer, longest);

    Registry::SetFault(Registry::TFault::Write);
    EXPECT_EQ(WriteStringValue(Settings, "T", "new"), 0);
    EXPECT_EQ(WriteDwordValue(Settings, "D", 1), 0);
    EXPECT_EQ(WriteStringValue("Another", "T", "new"), 0);
    Registry::SetFault(Registry::TFault::None);
    EXPECT_EQ(ReadStringValue(Settings, "T", buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer, longest);
    DWORD value;
    EXPECT_EQ(ReadDwordValue(Settings, "D", &value), 0);
    EXPECT_EQ(OpenUserKey("Another"), nullptr);
}

TEST_F(ExtTest, BadArgumentsAndOverlongKeysAreRefused) {
    // "Software\" and the subkey must fit in 260 bytes with the NUL.
    const std::string fits(250, 'k'), tooLong(251, 'k');
    char buffer[RegBufferSize];
    DWORD value;
    EXPECT_EQ(WriteStringValue(fits.c_str(), "A", "1"), 1);
    EXPECT_EQ(ReadStringValue(fits.c_str(), "A", buffer, sizeof buffer), 1);
    for (const char* subKey : {static_cast<const char*>(nullptr), tooLong.c_str()}) {
        EXPECT_EQ(OpenUserKey(subKey), nullptr);
        EXPECT_EQ(CreateUserKey(subKey), nullptr);
        EXPECT_EQ(WriteStringValue(subKey, "A", "1"), 0);
        EXPECT_EQ(WriteDwordValue(subKey, "A", 1), 0);
        EXPECT_EQ(ReadStringValue(subKey, "A", buffer, sizeof buffer), 0);
        EXPECT_EQ(ReadDwordValue(subKey, "A", &value), 0);
    }
    EXPECT_EQ(WriteStringValue(Settings, "A", nullptr), 0);
    EXPECT_EQ(ReadStringValue(fits.c_str(), "A", nullptr, sizeof buffer), 0);
    EXPECT_EQ(ReadStringValue(fits.c_str(), "A", buffer, 0), 0);
    EXPECT_EQ(ReadDwordValue(fits.c_str(), "A", nullptr), 0);
}

} // namespace
