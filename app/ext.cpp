#include "app/ext.h"

#include <cstring>

namespace {

// Builds "Software\<SubKey>" in a buffer of RegBufferSize bytes; false when it does not fit.
bool userKeyPath(const char* SubKey, char (&Path)[RegBufferSize]) {
    static const char prefix[] = "Software\\";
    if (!SubKey)
        return false;
    const size_t length = std::strlen(SubKey);
    if (sizeof prefix + length > RegBufferSize) // prefix, subkey and the NUL
        return false;
    std::memset(Path, 0, sizeof Path);
    std::memcpy(Path, prefix, sizeof prefix - 1);
    std::memcpy(Path + sizeof prefix - 1, SubKey, length);
    return true;
}

} // namespace

HKEY OpenUserKey(const char* SubKey) {
    char path[RegBufferSize];
    HKEY key = nullptr;
    if (!userKeyPath(SubKey, path) ||
        RegOpenKeyEx(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

HKEY CreateUserKey(const char* SubKey) {
    char path[RegBufferSize];
    HKEY key = nullptr;
    DWORD disposition;
    if (!userKeyPath(SubKey, path) ||
        RegCreateKeyEx(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                       nullptr, &key, &disposition) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

int ReadStringValue(const char* SubKey, const char* Name, char* Buffer, DWORD Size) {
    if (!Buffer || Size == 0)
        return 0;
    const HKEY key = OpenUserKey(SubKey);
    if (!key)
        return 0;
    DWORD type;
    DWORD size = Size;
    const bool read = RegQueryValueEx(key, Name, nullptr, &type, reinterpret_cast<BYTE*>(Buffer),
                                      &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!read)
        return 0;
    // A text stored without its NUL is ended here. One that fills the whole buffer without it
    // is longer than a text may be, and counts as absent like any longer one.
    if (size < Size) {
        Buffer[size] = '\0';
        return 1;
    }
    const bool ended = Buffer[Size - 1] == '\0';
    Buffer[Size - 1] = '\0';
    return ended ? 1 : 0;
}

int ReadDwordValue(const char* SubKey, const char* Name, DWORD* Value) {
    if (!Value)
        return 0;
    const HKEY key = OpenUserKey(SubKey);
    if (!key)
        return 0;
    BYTE bytes[4] = {};
    DWORD type;
    DWORD size = sizeof bytes;
    const bool read = RegQueryValueEx(key, Name, nullptr, &type, bytes, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!read)
        return 0;
    *Value = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
             static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
    return 1;
}

int WriteStringValue(const char* SubKey, const char* Name, const char* Text) {
    if (!Text)
        return 0;
    const size_t length = std::strlen(Text);
    if (length >= RegBufferSize) // could never be read back
        return 0;
    const HKEY key = CreateUserKey(SubKey);
    if (!key)
        return 0;
    const bool written = RegSetValueEx(key, Name, 0, REG_SZ, reinterpret_cast<const BYTE*>(Text),
                                       static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written ? 1 : 0;
}

int WriteDwordValue(const char* SubKey, const char* Name, DWORD Value) {
    const HKEY key = CreateUserKey(SubKey);
    if (!key)
        return 0;
    const BYTE bytes[4] = {static_cast<BYTE>(Value), static_cast<BYTE>(Value >> 8),
                           static_cast<BYTE>(Value >> 16), static_cast<BYTE>(Value >> 24)};
    const bool written =
        RegSetValueEx(key, Name, 0, REG_DWORD, bytes, sizeof bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written ? 1 : 0;
}
