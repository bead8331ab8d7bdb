#include "platform/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "confighome.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const char Settings[] = "Software\\Ostrel\\vintrop";
const char Header[] = "Vintrop Registry Version 1\n";

struct TData {
    DWORD Type;
    std::string Bytes;
    bool operator==(const TData&) const = default;
};

std::string sz(const std::string& Text) {
    return Text + '\0';
}

std::string dword(DWORD V) {
    return {static_cast<char>(V), static_cast<char>(V >> 8), static_cast<char>(V >> 16),
            static_cast<char>(V >> 24)};
}

DWORD dwordOf(const std::string& Bytes) {
    DWORD v = 0;
    for (size_t i = 0; i < 4 && i < Bytes.size(); ++i)
        v |= static_cast<DWORD>(static_cast<unsigned char>(Bytes[i])) << (8 * i);
    return v;
}

LONG setValue(const char* Path, const std::string& Name, const TData& Data) {
    HKEY key;
    LONG r = RegCreateKeyEx(HKEY_CURRENT_USER, Path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        return r;
    r = RegSetValueEx(key, Name.c_str(), 0, Data.Type,
                      reinterpret_cast<const BYTE*>(Data.Bytes.data()),
                      static_cast<DWORD>(Data.Bytes.size()));
    RegCloseKey(key);
    return r;
}

std::optional<TData> getValue(const char* Path, const std::string& Name) {
    HKEY key;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, Path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<TData> result;
    DWORD type = 0, size = 0;
    if (RegQueryValueEx(key, Name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::string bytes(size, '\0');
        if (RegQueryValueEx(key, Name.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(bytes.data()), &size) == ERROR_SUCCESS)
            result = TData{type, bytes};
    }
    RegCloseKey(key);
    return result;
}

bool keyExists(const char* Path) {
    HKEY key;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, Path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string readText(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

std::vector<std::string> entries(const std::string& Folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ino_t inode(const std::string& Path) {
    struct stat st {};
    stat(Path.c_str(), &st);
    return st.st_ino;
}

// Points the store at a fresh folder for each test.
class RegistryTest : public ::testing::Test, protected TConfigHome {
protected:
    void SetUp() override { ASSERT_EQ(Registry::FilePath(), File); }

    // Runs Body in a child process and returns its exit code. Root runs it as the user nobody,
    // since file permissions do not hold for root.
    int inChild(const std::function<int()>& Body) {
        if (geteuid() == 0 && chown(Base.c_str(), 65534, 65534) != 0)
            return 101;
        const pid_t pid = fork();
        if (pid == 0) {
            int code = 102;
            if (geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0))
                code = Body();
            _exit(code);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 103;
    }
};

TEST_F(RegistryTest, EveryTypeAndEveryByteRoundTripsThroughTheFile) {
    std::string bytes1To255, bytes0To255;
    for (int b = 0; b < 256; ++b) {
        bytes0To255 += static_cast<char>(b);
        if (b)
            bytes1To255 += static_cast<char>(b);
    }
    const std::string cyrillicKey = std::string("Software\\\xCA\xEB\xFE\xF7 \"]"); // "Ключ"
    const struct {
        std::string Path;
        std::string Name;
        TData Data;
    } cases[] = {
        {Settings, "Gate Address", {REG_SZ, sz("sms.example.net")}},
        {Settings, "Every byte", {REG_SZ, sz(bytes1To255)}},
        {Settings, bytes1To255, {REG_SZ, sz("a name of every byte")}},
        {Settings, "", {REG_SZ, sz("the default value")}},
        {Settings, "Without NUL", {REG_SZ, "abc"}},
        {Settings, "Inner NUL", {REG_SZ, std::string("a\0b\0", 4)}},
        {Settings, "No bytes", {REG_SZ, ""}},
        {Settings, "Empty text", {REG_SZ, sz("")}},
        {Settings, "SMTP Port", {REG_DWORD, dword(0x8000001a)}},
        {Settings, "Short dword", {REG_DWORD, "\x01\x02"}},
        {Settings, "Binary", {REG_BINARY, bytes0To255}},
        {Settings, "Multi", {7, std::string("a\0b\0\0", 5)}},
        {Settings, "Odd type", {0xdeadbeef, ""}},
        {cyrillicKey, "\xC8\xEC\xFF", {REG_SZ, sz("\xC8\xE2\xE0\xED")}}, // "Имя" = "Иван"
    };
    for (const auto& c : cases)
        ASSERT_EQ(setValue(c.Path.c_str(), c.Name, c.Data), ERROR_SUCCESS) << c.Name;
    HKEY empty;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Empty", 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &empty, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(empty);

    Registry::Reset();
    for (const auto& c : cases)
        EXPECT_EQ(getValue(c.Path.c_str(), c.Name), c.Data) << c.Name;
    EXPECT_TRUE(keyExists("Software\\Empty"));
    EXPECT_EQ(Registry::OpenHandleCount(), 0u);

    // Setting what a value already holds leaves the file alone; a change replaces it.
    const ino_t before = inode(File);
    for (const auto& c : cases)
        ASSERT_EQ(setValue(c.Path.c_str(), c.Name, c.Data), ERROR_SUCCESS);
    EXPECT_EQ(inode(File), before);
    ASSERT_EQ(setValue(Settings, "Gate Address", {REG_SZ, sz("other")}), ERROR_SUCCESS);
    EXPECT_NE(inode(File), before);
}

TEST_F(RegistryTest, FileIsReadableText) {
    ASSERT_EQ(setValue(Settings, "Gate Address", {REG_SZ, sz("sms.example.net")}), ERROR_SUCCESS);
    ASSERT_EQ(setValue(Settings, "SMTP Port", {REG_DWORD, dword(26)}), ERROR_SUCCESS);
    ASSERT_EQ(setValue(Settings, "Name1", {REG_SZ, sz("\xC8\xE2\xE0\xED \"\\\n\x98")}),
              ERROR_SUCCESS);
    ASSERT_EQ(setValue(Settings, "", {REG_SZ, "raw"}), ERROR_SUCCESS);
    ASSERT_EQ(setValue("Software\\\xCA\xEB\xFE\xF7", "Bin", {REG_BINARY, "\x00\xff"s}),
              ERROR_SUCCESS);
    EXPECT_EQ(readText(File), std::string(Header) +
                                  "\n[HKEY_CURRENT_USER\\Software\\Ostrel\\vintrop]\n"
                                  "\"Gate Address\"=\"sms.example.net\"\n"
                                  "\"SMTP Port\"=dword:0000001a\n"
                                  "\"Name1\"=\"Иван \\\"\\\\\\x0a\\x98\"\n"
                                  "@=hex(1):72,61,77\n"
                                  "\n[HKEY_CURRENT_USER\\Software\\Ключ]\n"
                                  "\"Bin\"=hex:00,ff\n");
}

TEST_F(RegistryTest, HandWrittenFileIsRead) {
    fs::create_directories(Folder);
    writeText(File, "\xEF\xBB\xBF" + std::string(Header) +
                        "; comment\r\n"
                        "[hkey_current_user\\SOFTWARE\\ostrel\\VINTROP]  \r\n"
                        "\"A\"=\"first\"\r\n"
                        "\"B\"=dword:1A\r\n"
                        "[HKEY_CURRENT_USER\\Software\\Ostrel\\vintrop]\n"
                        "\"a\"=\"last\"\n"
                        "\"C\"=hex(7):41,0A\n"
                        "\"\"=\"default\"\n");
    EXPECT_EQ(getValue(Settings, "A"), (TData{REG_SZ, sz("last")}));
    EXPECT_EQ(getValue(Settings, "B"), (TData{REG_DWORD, dword(26)}));
    EXPECT_EQ(getValue(Settings, "C"), (TData{7, "A\n"}));
    EXPECT_EQ(getValue(Settings, ""), (TData{REG_SZ, sz("default")}));
}

TEST_F(RegistryTest, QueryFailsWhenTheBufferIsTooSmallAndDoesNotCheckTheType) {
    const struct {
        TData Stored;
        DWORD Buffer;
        LONG Result;
    } cases[] = {
        {{REG_SZ, sz(std::string(259, 'a'))}, 260, ERROR_SUCCESS},
        {{REG_SZ, sz(std::string(260, 'a'))}, 260, ERROR_MORE_DATA},
        {{REG_SZ, "abc"}, 3, ERROR_SUCCESS}, // as stored, no NUL added
        {{REG_SZ, sz("ab")}, 4, ERROR_SUCCESS},
        {{REG_DWORD, dword(7)}, 4, ERROR_SUCCESS},
        {{REG_DWORD, dword(7)}, 260, ERROR_SUCCESS},
        {{REG_DWORD, dword(7)}, 3, ERROR_MORE_DATA},
        {{REG_BINARY, "12345678"}, 4, ERROR_MORE_DATA},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(setValue(Settings, "V", c.Stored), ERROR_SUCCESS);
        HKEY key;
        ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, Settings, 0, KEY_READ, &key), ERROR_SUCCESS);
        std::string buffer(c.Buffer + 1, 'Z');
        DWORD type = 0, size = c.Buffer;
        EXPECT_EQ(RegQueryValueEx(key, "V", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                  &size),
                  c.Result);
        RegCloseKey(key);
        EXPECT_EQ(size, c.Stored.Bytes.size());
        EXPECT_EQ(type, c.Stored.Type);
        const std::string expected = c.Result == ERROR_SUCCESS
                                         ? c.Stored.Bytes + std::string(c.Buffer + 1 - size, 'Z')
                                         : std::string(c.Buffer + 1, 'Z');
        EXPECT_EQ(buffer, expected) << c.Stored.Bytes.size() << " bytes into " << c.Buffer;
    }
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    ASSERT_EQ(setValue(Settings, "Gate Address", {REG_SZ, sz("a")}), ERROR_SUCCESS);
    ASSERT_EQ(setValue("SOFTWARE\\ostrel\\VINTROP", "GATE address", {REG_SZ, sz("b")}),
              ERROR_SUCCESS);
    EXPECT_EQ(getValue("software\\Ostrel\\Vintrop", "gate ADDRESS"), (TData{REG_SZ, sz("b")}));
    // Cyrillic letters too: "ключ" and "КЛЮЧ".
    ASSERT_EQ(setValue("Software\\\xEA\xEB\xFE\xF7", "\xE8\xEC\xFF", {REG_SZ, sz("c")}),
              ERROR_SUCCESS);
    EXPECT_EQ(getValue("Software\\\xCA\xCB\xDE\xD7", "\xC8\xCC\xDF"), (TData{REG_SZ, sz("c")}));
    const std::string text = readText(File);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Ostrel\\vintrop]\n\"Gate Address\"=\"b\"\n"),
              std::string::npos);
    EXPECT_NE(text.find("\\ключ]\n\"имя\"=\"c\"\n"), std::string::npos);
    EXPECT_EQ(text.find("GATE"), std::string::npos);
}

TEST_F(RegistryTest, HandlesAndBadArguments) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, Settings, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, Settings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(RegQueryValueEx(key, "Missing", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueEx(key, "", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, Settings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);

    // Paths relative to an open key; the access of a handle is enforced.
    HKEY software, readOnly, writeOnly;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &software),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyEx(software, "Ostrel\\vintrop", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyEx(software, "Ostrel\\vintrop", 0, KEY_WRITE, &writeOnly), ERROR_SUCCESS);
    const BYTE one[] = "1";
    EXPECT_EQ(RegSetValueEx(readOnly, "A", 0, REG_SZ, one, 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueEx(writeOnly, "A", 0, REG_SZ, one, 2), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueEx(writeOnly, "A", nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueEx(readOnly, "a", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueEx(writeOnly, "A", 0, REG_SZ, nullptr, 2), ERROR_INVALID_PARAMETER);
    for (HKEY k : {software, readOnly, writeOnly})
        RegCloseKey(k);

    const std::string badPaths[] = {"Software\\\\A", "\\Software", "Software\\", "Software\\\x01",
                                    "Software\\" + std::string(256, 'k')};
    for (const std::string& path : badPaths) {
        EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr),
                  ERROR_INVALID_PARAMETER)
            << path;
        EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key),
                  ERROR_INVALID_PARAMETER)
            << path;
    }
    std::string deep = "Software";
    for (int i = 0; i < 512; ++i)
        deep += "\\k";
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Registry::OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, DamagedFileIsKeptAsideAndTheStoreStartsEmpty) {
    const std::string section = "[HKEY_CURRENT_USER\\Software\\Ostrel\\vintrop]\n";
    const std::string valid = Header + section + "\"A\"=\"1\"\n";
    std::string tooDeep = Header + "[HKEY_CURRENT_USER"s;
    for (int i = 0; i < 513; ++i)
        tooDeep += "\\k";
    const std::string damaged[] = {
        "",
        valid.substr(0, valid.size() - 3), // cut short within the last line
        "Some other file\n",
        std::string("\x00\x01\xfe\xff\n", 5),
        Header + std::string("\"A\"=\"1\"\n"), // a value outside any section
        Header + section + "\"A\"=\"\\q\"\n",
        Header + section + "\"A\"=\"\xff\"\n", // not UTF-8
        Header + section + "\"A\"=\"中\"\n",   // not in the code page
        Header + section + "\"A\"=\"1\n",      // unterminated text
        Header + section + "\"A\"=dword:123456789\n",
        Header + section + "\"A\"=hex:0\n",
        Header + section + "\"A\"=1\n",
        Header + "[HKEY_LOCAL_MACHINE\\Software]\n"s,
        Header + "[HKEY_CURRENT_USER\\\\Software]\n"s,
        tooDeep + "]\n",
    };
    fs::create_directories(Folder);
    std::vector<std::pair<std::string, std::string>> kept; // name, content
    for (const std::string& text : damaged) {
        writeText(File, text);
        Registry::Reset();
        EXPECT_FALSE(keyExists("Software")) << text;
        EXPECT_FALSE(fs::exists(File)) << text;
        const std::vector<std::string> names = entries(Folder);
        ASSERT_EQ(names.size(), kept.size() + 1) << text;
        for (const std::string& name : names)
            if (std::none_of(kept.begin(), kept.end(), [&](auto& k) { return k.first == name; }))
                kept.emplace_back(name, text);
        EXPECT_TRUE(kept.back().first.starts_with("registry.reg.damaged-")) << kept.back().first;
        EXPECT_EQ(readText(Folder + "/" + kept.back().first), text);
    }
    ASSERT_EQ(setValue(Settings, "A", {REG_SZ, sz("2")}), ERROR_SUCCESS);
    for (const auto& [name, text] : kept)
        EXPECT_EQ(readText(Folder + "/" + name), text);

    // A file that cannot be read is kept aside as well.
    fs::remove(File);
    fs::create_directory(File);
    Registry::Reset();
    EXPECT_FALSE(keyExists("Software"));
    ASSERT_EQ(setValue(Settings, "A", {REG_SZ, sz("3")}), ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_regular_file(File));
    EXPECT_EQ(entries(Folder).size(), kept.size() + 2);
}

TEST_F(RegistryTest, FailedWriteLeavesFileAndStoreAsTheyWere) {
    for (Registry::TFault fault : {Registry::TFault::Create, Registry::TFault::Write,
                                   Registry::TFault::Sync, Registry::TFault::Rename}) {
        Registry::Reset();
        ASSERT_EQ(setValue(Settings, "A", {REG_SZ, sz("old")}), ERROR_SUCCESS);
        const std::string before = readText(File);
        Registry::SetFault(fault);
        EXPECT_EQ(setValue(Settings, "A", {REG_SZ, sz("new")}), ERROR_WRITE_FAULT);
        EXPECT_EQ(setValue(Settings, "B", {REG_SZ, sz("new")}), ERROR_WRITE_FAULT);
        EXPECT_EQ(setValue("Software\\New", "A", {REG_SZ, sz("new")}), ERROR_WRITE_FAULT);
        EXPECT_EQ(getValue(Settings, "A"), (TData{REG_SZ, sz("old")}));
        EXPECT_EQ(getValue(Settings, "B"), std::nullopt);
        EXPECT_FALSE(keyExists("Software\\New"));
        EXPECT_EQ(readText(File), before);
        EXPECT_EQ(entries(Folder), std::vector<std::string>{"registry.reg"});
        Registry::SetFault(Registry::TFault::None);
        EXPECT_EQ(setValue(Settings, "B", {REG_SZ, sz("new")}), ERROR_SUCCESS);
        Registry::Reset();
        EXPECT_EQ(getValue(Settings, "A"), (TData{REG_SZ, sz("old")}));
        fs::remove(File);
    }
}

TEST_F(RegistryTest, AValueTooLargeForTheFileIsRefusedAndTheRestKept) {
    ASSERT_EQ(setValue(Settings, "A", {REG_SZ, sz("keep me")}), ERROR_SUCCESS);
    // Binary data takes three characters a byte in the file: 6 MiB make a file of 18 MiB,
    // beyond what the store reads back.
    const std::string big(6 << 20, '\xAB');
    EXPECT_EQ(setValue(Settings, "Big", {REG_BINARY, big}), ERROR_WRITE_FAULT);
    Registry::Reset();
    EXPECT_EQ(getValue(Settings, "A"), (TData{REG_SZ, sz("keep me")}));
    EXPECT_EQ(getValue(Settings, "Big"), std::nullopt);
    EXPECT_EQ(entries(Folder), std::vector<std::string>{"registry.reg"});
}

TEST_F(RegistryTest, ReadOnlyFolderFailsWritesWithoutHarm) {
    const int failedCheck = inChild([&] {
        const TData oldValue{REG_SZ, sz("old")}, newValue{REG_SZ, sz("new")};
        Registry::Reset();
        if (setValue(Settings, "A", oldValue) != ERROR_SUCCESS)
            return 1;
        const std::string before = readText(File);
        if (chmod(Folder.c_str(), 0500) != 0)
            return 2;
        if (setValue(Settings, "A", newValue) != ERROR_WRITE_FAULT)
            return 3;
        if (getValue(Settings, "A") != oldValue || readText(File) != before)
            return 4;
        // A damaged file that cannot be set aside stays, and so do writes.
        chmod(Folder.c_str(), 0700);
        writeText(File, "damaged\n");
        chmod(Folder.c_str(), 0500);
        Registry::Reset();
        if (getValue(Settings, "A") || setValue(Settings, "A", newValue) != ERROR_WRITE_FAULT)
            return 5;
        if (readText(File) != "damaged\n" || entries(Folder).size() != 1)
            return 6;
        // Once the folder can be written, the next write first sets it aside.
        chmod(Folder.c_str(), 0700);
        if (setValue(Settings, "A", newValue) != ERROR_SUCCESS)
            return 7;
        const std::vector<std::string> names = entries(Folder);
        if (names.size() != 2 || names[0] != "registry.reg" ||
            readText(Folder + "/" + names[1]) != "damaged\n")
            return 8;
        return 0;
    });
    EXPECT_EQ(failedCheck, 0);
}

TEST_F(RegistryTest, KilledWriterLeavesTheOldFileOrTheNewOneWhole) {
    // The writer sets A and then B to the same count, again and again, and is killed at
    // random moments: every file left behind must read as A == B or A == B + 1.
    ASSERT_EQ(setValue(Settings, "A", {REG_DWORD, dword(0)}), ERROR_SUCCESS);
    ASSERT_EQ(setValue(Settings, "B", {REG_DWORD, dword(0)}), ERROR_SUCCESS);
    std::mt19937 random(20240229);
    DWORD last = 0;
    for (int round = 0; round < 20; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Registry::Reset();
            // Counting on from B: a writer killed between A and B leaves A one ahead, and
            // counting on from A would then write A two ahead of B.
            const auto start = getValue(Settings, "B");
            DWORD count = start ? dwordOf(start->Bytes) : 0;
            for (int i = 0; i < 100000; ++i) {
                ++count;
                setValue(Settings, "A", {REG_DWORD, dword(count)});
                setValue(Settings, "B", {REG_DWORD, dword(count)});
            }
            _exit(0);
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        Registry::Reset();
        const auto a = getValue(Settings, "A"), b = getValue(Settings, "B");
        ASSERT_TRUE(a && b) << "round " << round;
        const DWORD countA = dwordOf(a->Bytes), countB = dwordOf(b->Bytes);
        ASSERT_TRUE(countA == countB || countA == countB + 1) << countA << " " << countB;
        ASSERT_GE(countA, last);
        last = countA;
        for (const std::string& name : entries(Folder))
            ASSERT_FALSE(name.starts_with("registry.reg.damaged")) << name;
    }
    EXPECT_GT(last, 0u);
}

TEST_F(RegistryTest, FileLivesInTheUsersConfigFolder) {
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    setenv("HOME", Base.c_str(), 1);
    const std::string homeConfig = Base + "/.config/vintrop/registry.reg";
    const struct {
        const char* Xdg;
        std::string Expected;
    } cases[] = {
        {nullptr, homeConfig}, {"", homeConfig}, {"relative", homeConfig}, // to be ignored
    };
    for (const auto& c : cases) {
        if (c.Xdg)
            setenv("XDG_CONFIG_HOME", c.Xdg, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        Registry::Reset();
        EXPECT_EQ(Registry::FilePath(), c.Expected);
    }
    if (home)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");

    // Missing folders are made, private to the user.
    const std::string nested = Base + "/nested/config";
    setenv("XDG_CONFIG_HOME", nested.c_str(), 1);
    Registry::Reset();
    ASSERT_EQ(setValue(Settings, "A", {REG_SZ, sz("1")}), ERROR_SUCCESS);
    struct stat st {};
    ASSERT_EQ(stat((nested + "/vintrop").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(fs::is_regular_file(nested + "/vintrop/registry.reg"));

    // A file that is a link to another stays one; the file it points to is replaced.
    const std::string file = nested + "/vintrop/registry.reg", elsewhere = Base + "/kept.reg";
    fs::rename(file, elsewhere);
    fs::create_symlink(elsewhere, file);
    Registry::Reset();
    ASSERT_EQ(setValue(Settings, "A", {REG_SZ, sz("2")}), ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_NE(readText(elsewhere).find("\"A\"=\"2\""), std::string::npos);
}

} // namespace
