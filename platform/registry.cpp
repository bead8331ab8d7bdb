#include "platform/registry.h"

#include <QString>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/classes.h"
#include "platform/codepage.h"

namespace Registry {

struct TValue {
    std::string Name;
    DWORD Type;
    std::string Data;
};

struct TKey {
    std::string Name;
    unsigned Depth = 0;         // the number of keys above it
    std::vector<TValue> Values; // in the order they were first set
    std::vector<std::unique_ptr<TKey>> Subkeys;
};

} // namespace Registry

// An open key. The predefined root handle has no node: it always means the current root.
struct HKEY__ {
    Registry::TKey* Node;
    REGSAM Access;
};

namespace {

HKEY__ RootHandle{nullptr, KEY_ALL_ACCESS};

} // namespace

HKEY const HKEY_CURRENT_USER = &RootHandle;

namespace {

using Registry::TFault;
using Registry::TKey;
using Registry::TValue;

const char Header[] = "Vintrop Registry Version 1";
const char RootName[] = "HKEY_CURRENT_USER";
const char FileName[] = "registry.reg";
const size_t MaxKeyName = 255;
const size_t MaxValueName = 16383;
const unsigned MaxDepth = 512;      // keeps the recursion over keys shallow
const off_t MaxFileSize = 16 << 20; // far beyond any settings; a larger file is not ours

// What the file format needs to know of each byte of the code page.
struct TByteTable {
    std::array<bool, 256> Printable{}; // written as its character, not as an escape
    std::array<std::string, 256> Utf8;

    TByteTable() {
        for (int b = 0; b < 256; ++b) {
            const std::string byte(1, static_cast<char>(b));
            const QString text = Win1251::ToUnicode(byte);
            const char16_t u = text.isEmpty() ? 0 : text[0].unicode();
            Printable[b] = u >= 0x20 && !(u >= 0x7F && u <= 0x9F);
            Utf8[b] = text.toStdString();
        }
    }
};

const TByteTable& bytes() {
    static const TByteTable t;
    return t;
}

bool sameName(const std::string& A, const std::string& B) {
    return AnsiCompareText(A, B) == 0;
}

TKey* findSubkey(TKey& Key, const std::string& Name) {
    for (auto& sub : Key.Subkeys)
        if (sameName(sub->Name, Name))
            return sub.get();
    return nullptr;
}

TValue* findValue(TKey& Key, const std::string& Name) {
    for (auto& value : Key.Values)
        if (sameName(value.Name, Name))
            return &value;
    return nullptr;
}

// A key name must fit in a section line of the file: no control characters and no backslash.
bool validKeyName(const std::string& Name) {
    if (Name.empty() || Name.size() > MaxKeyName)
        return false;
    for (unsigned char b : Name)
        if (!bytes().Printable[b] || b == '\\')
            return false;
    return true;
}

// Splits a key path at its backslashes; an empty path names the key itself.
bool splitPath(const char* Path, std::vector<std::string>& Names) {
    Names.clear();
    if (!Path || !*Path)
        return true;
    const std::string path(Path);
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('\\', start);
        Names.push_back(path.substr(start, end == std::string::npos ? end : end - start));
        if (!validKeyName(Names.back()))
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

// ---- The file format ----

const char HexDigits[] = "0123456789abcdef";

void appendHexByte(std::string& Out, unsigned char B) {
    Out += HexDigits[B >> 4];
    Out += HexDigits[B & 15];
}

void appendQuoted(std::string& Out, const std::string& Bytes) {
    const TByteTable& t = bytes();
    Out += '"';
    for (unsigned char b : Bytes) {
        if (b == '\\' || b == '"') {
            Out += '\\';
            Out += static_cast<char>(b);
        } else if (t.Printable[b]) {
            Out += t.Utf8[b];
        } else {
            Out += "\\x";
            appendHexByte(Out, b);
        }
    }
    Out += '"';
}

DWORD dwordOf(const std::string& Data) {
    DWORD v = 0;
    for (size_t i = 0; i < 4 && i < Data.size(); ++i)
        v |= static_cast<DWORD>(static_cast<unsigned char>(Data[i])) << (8 * i);
    return v;
}

void appendData(std::string& Out, const TValue& Value) {
    const std::string& d = Value.Data;
    if (Value.Type == REG_SZ && !d.empty() && d.find('\0') == d.size() - 1) {
        appendQuoted(Out, d.substr(0, d.size() - 1));
        return;
    }
    if (Value.Type == REG_DWORD && d.size() == 4) {
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", dwordOf(d));
        Out += text;
        return;
    }
    if (Value.Type == REG_BINARY) {
        Out += "hex:";
    } else {
        char text[24];
        std::snprintf(text, sizeof text, "hex(%x):", Value.Type);
        Out += text;
    }
    for (size_t i = 0; i < d.size(); ++i) {
        if (i)
            Out += ',';
        appendHexByte(Out, static_cast<unsigned char>(d[i]));
    }
}

// Every key that holds values, or holds nothing at all, gets a section; keys that only lead
// to others are implied by their sections.
void appendKey(std::string& Out, const TKey& Key, const std::string& Path, bool IsRoot) {
    if (!Key.Values.empty() || (Key.Subkeys.empty() && !IsRoot)) {
        Out += "\n[" + Path + "]\n";
        for (const TValue& value : Key.Values) {
            if (value.Name.empty())
                Out += '@';
            else
                appendQuoted(Out, value.Name);
            Out += '=';
            appendData(Out, value);
            Out += '\n';
        }
    }
    for (const auto& sub : Key.Subkeys) {
        std::string path = Path + '\\';
        for (unsigned char b : sub->Name)
            path += bytes().Utf8[b];
        appendKey(Out, *sub, path, false);
    }
}

std::string serialize(const TKey& Root) {
    std::string out = std::string(Header) + '\n';
    appendKey(out, Root, RootName, true);
    return out;
}

int hexValue(char C) {
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

// Text of the file (UTF-8) to code page bytes; false for a character the code page lacks,
// which is also what malformed UTF-8 decodes to.
bool fromUtf8(const std::string& Text, std::string& Out) {
    bool exact = true;
    Out += Win1251::FromUnicode(QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size())),
                                &exact);
    return exact;
}

// Reads a quoted text starting at Line[Pos]; Pos ends after the closing quote.
bool parseQuoted(const std::string& Line, size_t& Pos, std::string& Out) {
    if (Pos >= Line.size() || Line[Pos] != '"')
        return false;
    ++Pos;
    size_t run = Pos; // start of the characters not yet decoded
    while (Pos < Line.size()) {
        const char c = Line[Pos];
        if (c != '"' && c != '\\') {
            ++Pos;
            continue;
        }
        if (!fromUtf8(Line.substr(run, Pos - run), Out))
            return false;
        if (c == '"') {
            ++Pos;
            return true;
        }
        if (Pos + 1 >= Line.size())
            return false;
        const char e = Line[Pos + 1];
        if (e == '\\' || e == '"') {
            Out += e;
            Pos += 2;
        } else if (e == 'x' && Pos + 3 < Line.size() && hexValue(Line[Pos + 2]) >= 0 &&
                   hexValue(Line[Pos + 3]) >= 0) {
            Out += static_cast<char>(hexValue(Line[Pos + 2]) << 4 | hexValue(Line[Pos + 3]));
            Pos += 4;
        } else {
            return false;
        }
        run = Pos;
    }
    return false;
}

// Reads 1 to 8 hex digits that make up the rest of Text, or up to Stop.
bool parseNumber(const std::string& Text, size_t& Pos, char Stop, DWORD& Value) {
    Value = 0;
    size_t digits = 0;
    for (; Pos < Text.size() && Text[Pos] != Stop; ++Pos, ++digits) {
        const int h = hexValue(Text[Pos]);
        if (h < 0 || digits == 8)
            return false;
        Value = Value << 4 | static_cast<DWORD>(h);
    }
    return digits > 0;
}

bool parseData(const std::string& Line, size_t Pos, TValue& Value) {
    const std::string rest = Line.substr(Pos);
    if (rest.starts_with("\"")) {
        Value.Type = REG_SZ;
        size_t p = 0;
        if (!parseQuoted(rest, p, Value.Data) || p != rest.size())
            return false;
        Value.Data += '\0';
        return true;
    }
    if (rest.starts_with("dword:")) {
        size_t p = 6;
        DWORD v;
        if (!parseNumber(rest, p, '\0', v) || p != rest.size())
            return false;
        Value.Type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            Value.Data += static_cast<char>(v >> (8 * i) & 0xFF);
        return true;
    }
    size_t p;
    if (rest.starts_with("hex:")) {
        Value.Type = REG_BINARY;
        p = 4;
    } else if (rest.starts_with("hex(")) {
        p = 4;
        if (!parseNumber(rest, p, ')', Value.Type) || rest.compare(p, 2, "):") != 0)
            return false;
        p += 2;
    } else {
        return false;
    }
    while (p < rest.size()) {
        if (!Value.Data.empty() && rest[p++] != ',')
            return false;
        if (p + 2 > rest.size() || hexValue(rest[p]) < 0 || hexValue(rest[p + 1]) < 0)
            return false;
        Value.Data += static_cast<char>(hexValue(rest[p]) << 4 | hexValue(rest[p + 1]));
        p += 2;
    }
    return true;
}

TKey* parseSection(const std::string& Line, TKey& Root) {
    if (Line.size() < 2 || Line.back() != ']')
        return nullptr;
    const std::string path = Line.substr(1, Line.size() - 2);
    const size_t first = path.find('\\');
    if (!sameName(path.substr(0, first), RootName))
        return nullptr;
    TKey* key = &Root;
    for (size_t start = first; start != std::string::npos;) {
        const size_t end = path.find('\\', start + 1);
        std::string name;
        if (!fromUtf8(path.substr(start + 1, end == std::string::npos ? end : end - start - 1),
                      name) ||
            !validKeyName(name))
            return nullptr;
        TKey* sub = findSubkey(*key, name);
        if (!sub) {
            if (key->Depth == MaxDepth)
                return nullptr;
            key->Subkeys.push_back(std::make_unique<TKey>(TKey{name, key->Depth + 1, {}, {}}));
            sub = key->Subkeys.back().get();
        }
        key = sub;
        start = end;
    }
    return key;
}

// Parses the whole file; false when any line is not of the format or the text was cut short.
// Sections of the same key merge and a value given twice keeps the last, as an import would.
bool parse(std::string Text, TKey& Root) {
    if (Text.starts_with("\xEF\xBB\xBF"))
        Text.erase(0, 3);
    if (Text.empty() || Text.back() != '\n')
        return false;
    TKey* key = nullptr;
    bool first = true;
    for (size_t start = 0; start < Text.size();) {
        const size_t end = Text.find('\n', start);
        std::string line = Text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (first) {
            if (line != Header)
                return false;
            first = false;
            continue;
        }
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            key = parseSection(line, Root);
            if (!key)
                return false;
            continue;
        }
        if (!key)
            return false;
        TValue value{};
        size_t pos = 0;
        if (line[0] == '@')
            pos = 1;
        else if (!parseQuoted(line, pos, value.Name))
            return false;
        if (pos >= line.size() || line[pos] != '=' || !parseData(line, pos + 1, value))
            return false;
        if (TValue* old = findValue(*key, value.Name))
            *old = std::move(value);
        else
            key->Values.push_back(std::move(value));
    }
    return true;
}

// ---- The file on disk ----

std::string configFolder() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && xdg[0] == '/') { // a relative value is to be ignored
        base = xdg;
    } else if (home && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') {
        base = std::string(pw->pw_dir) + "/.config";
    } else {
        return {};
    }
    return base + "/vintrop";
}

std::string folderOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == 0 ? "/" : Path.substr(0, slash);
}

void syncFolder(const std::string& Folder) {
    const int fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd); // best effort: some file systems cannot sync a folder
        close(fd);
    }
}

// Creates the folder and any missing parent, private to the user as configuration should be.
bool makeFolder(const std::string& Folder) {
    struct stat st;
    if (stat(Folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::string parent = folderOf(Folder);
    if (parent != Folder && !makeFolder(parent))
        return false;
    return mkdir(Folder.c_str(), 0700) == 0 || errno == EEXIST;
}

enum class TRead { Ok, Missing, Bad };

TRead readFile(const std::string& Path, std::string& Text) {
    const int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? TRead::Missing : TRead::Bad;
    struct stat st;
    TRead result = TRead::Bad;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxFileSize) {
        result = TRead::Ok;
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || Text.size() + static_cast<size_t>(n) > static_cast<size_t>(MaxFileSize))
                result = TRead::Bad;
            if (n <= 0 || result == TRead::Bad)
                break;
            Text.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return result;
}

// Renames a file that cannot be used to a name of its own, never replacing another file.
bool setAside(const std::string& Path) {
    char stamp[32];
    const time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (int n = 0; n < 100; ++n) {
        std::string aside = Path + ".damaged-" + stamp;
        if (n) {
            aside += '-';
            aside += std::to_string(n);
        }
        int r = renameat2(AT_FDCWD, Path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        if (r != 0 && (errno == EINVAL || errno == ENOSYS)) { // no such rename on this system
            struct stat st;
            if (lstat(aside.c_str(), &st) == 0)
                continue;
            r = std::rename(Path.c_str(), aside.c_str());
        }
        if (r == 0) {
            syncFolder(folderOf(Path));
            std::fprintf(stderr, "vintrop: the settings file %s could not be read; kept as %s\n",
                         Path.c_str(), aside.c_str());
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// ---- The store ----

struct TStore {
    std::mutex Lock;
    bool Located = false;
    bool Loaded = false;
    std::string File; // empty when no folder is known: nothing can be written
    std::unique_ptr<TKey> Root = std::make_unique<TKey>();
    bool DamagedInPlace = false; // a damaged file that could not be set aside yet
    std::unordered_map<HKEY, std::unique_ptr<HKEY__>> Handles;
    TFault Fault = TFault::None;
};

TStore& store() {
    static TStore s;
    return s;
}

void locate(TStore& S) {
    if (S.Located)
        return;
    S.Located = true;
    const std::string folder = configFolder();
    S.File = folder.empty() ? std::string() : folder + "/" + FileName;
}

void load(TStore& S) {
    if (S.Loaded)
        return;
    locate(S);
    S.Loaded = true;
    S.Root = std::make_unique<TKey>();
    S.DamagedInPlace = false;
    if (S.File.empty())
        return;
    std::string text;
    const TRead read = readFile(S.File, text);
    if (read == TRead::Missing)
        return;
    if (read == TRead::Ok) {
        auto root = std::make_unique<TKey>();
        if (parse(std::move(text), *root)) {
            S.Root = std::move(root);
            return;
        }
    }
    S.DamagedInPlace = !setAside(S.File);
}

bool writeAll(int Fd, const char* Data, size_t Size) {
    while (Size > 0) {
        const ssize_t n = write(Fd, Data, Size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        Data += n;
        Size -= static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file by the store's state: a temporary file in the same folder is written and
// flushed, then renamed over the file, so a reader or a crash sees the old file or the new one.
bool commit(TStore& S) {
    if (S.File.empty())
        return false;
    const std::string text = serialize(*S.Root);
    // A file the reader would refuse as not ours must not be written: the next start would
    // set it aside with every setting in it.
    if (text.size() > static_cast<size_t>(MaxFileSize))
        return false;
    if (S.DamagedInPlace) {
        if (!setAside(S.File))
            return false;
        S.DamagedInPlace = false;
    }
    std::string target = S.File;
    // A link to the settings file stays a link: the file it points to is replaced.
    if (char* real = realpath(S.File.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    const std::string folder = folderOf(target);
    if (!makeFolder(folder))
        return false;
    std::string temp = target + ".tmp-XXXXXX";
    const int fd = S.Fault == TFault::Create ? -1 : mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const size_t length = S.Fault == TFault::Write ? text.size() / 2 : text.size();
    bool ok = writeAll(fd, text.data(), length) && length == text.size();
    ok = ok && S.Fault != TFault::Sync && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && S.Fault != TFault::Rename && std::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    syncFolder(folder);
    return true;
}

TKey* resolve(TStore& S, HKEY Key, REGSAM& Access) {
    if (Key == HKEY_CURRENT_USER) {
        Access = KEY_ALL_ACCESS;
        return S.Root.get();
    }
    const auto it = S.Handles.find(Key);
    if (it == S.Handles.end())
        return nullptr;
    Access = it->second->Access;
    return it->second->Node;
}

HKEY newHandle(TStore& S, TKey* Node, REGSAM Access) {
    auto handle = std::make_unique<HKEY__>(HKEY__{Node, Access});
    const HKEY key = handle.get();
    S.Handles.emplace(key, std::move(handle));
    return key;
}

} // namespace

LONG RegOpenKeyEx(HKEY Key, const char* SubKey, DWORD Options, REGSAM Access, HKEY* Result) {
    (void)Options;
    if (!Result)
        return ERROR_INVALID_PARAMETER;
    *Result = nullptr;
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    load(s);
    REGSAM access;
    TKey* key = resolve(s, Key, access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> names;
    if (!splitPath(SubKey, names))
        return ERROR_INVALID_PARAMETER;
    for (const std::string& name : names)
        if (!(key = findSubkey(*key, name)))
            return ERROR_FILE_NOT_FOUND;
    *Result = newHandle(s, key, Access);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyEx(HKEY Key, const char* SubKey, DWORD Reserved, char* Class, DWORD Options,
                    REGSAM Access, const void* Security, HKEY* Result, DWORD* Disposition) {
    (void)Reserved, (void)Class, (void)Options, (void)Security;
    if (!Result)
        return ERROR_INVALID_PARAMETER;
    *Result = nullptr;
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    load(s);
    REGSAM access;
    TKey* key = resolve(s, Key, access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> names;
    if (!splitPath(SubKey, names))
        return ERROR_INVALID_PARAMETER;
    TKey* firstParent = nullptr; // the parent of the first key created, for an undo
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (TKey* sub = findSubkey(*key, name)) {
            key = sub;
            continue;
        }
        if (!firstParent) {
            if (!(access & KEY_CREATE_SUB_KEY))
                return ERROR_ACCESS_DENIED;
            if (key->Depth + (names.size() - i) > MaxDepth)
                return ERROR_INVALID_PARAMETER;
            firstParent = key;
        }
        key->Subkeys.push_back(std::make_unique<TKey>(TKey{name, key->Depth + 1, {}, {}}));
        key = key->Subkeys.back().get();
    }
    if (firstParent && !commit(s)) {
        firstParent->Subkeys.pop_back();
        return ERROR_WRITE_FAULT;
    }
    if (Disposition)
        *Disposition = firstParent ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *Result = newHandle(s, key, Access);
    return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                     DWORD* Size) {
    (void)Reserved;
    if (Data && !Size)
        return ERROR_INVALID_PARAMETER;
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    load(s);
    REGSAM access;
    TKey* key = resolve(s, Key, access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (!(access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    const TValue* value = findValue(*key, Name ? Name : "");
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    if (Type)
        *Type = value->Type;
    const DWORD needed = static_cast<DWORD>(value->Data.size());
    if (Data && needed > *Size) {
        *Size = needed;
        return ERROR_MORE_DATA;
    }
    if (Data)
        std::memcpy(Data, value->Data.data(), needed);
    if (Size)
        *Size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueEx(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                   DWORD Size) {
    (void)Reserved;
    if (!Data && Size)
        return ERROR_INVALID_PARAMETER;
    const std::string name = Name ? Name : "";
    if (name.size() > MaxValueName)
        return ERROR_INVALID_PARAMETER;
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    load(s);
    REGSAM access;
    TKey* key = resolve(s, Key, access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (!(access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::string data = Data ? std::string(reinterpret_cast<const char*>(Data), Size) : "";
    TValue* value = findValue(*key, name);
    if (value && value->Type == Type && value->Data == data)
        return ERROR_SUCCESS; // nothing changes, nothing to write
    std::optional<TValue> old;
    if (value) {
        old = *value;
        value->Type = Type;
        value->Data = std::move(data);
    } else {
        key->Values.push_back(TValue{name, Type, std::move(data)});
    }
    if (!commit(s)) { // the store stays as the file is
        if (old)
            *value = std::move(*old);
        else
            key->Values.pop_back();
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY Key) {
    if (Key == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    return s.Handles.erase(Key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace Registry {

std::string FilePath() {
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    locate(s);
    return s.File;
}

void Reset() {
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    s.Handles.clear();
    s.Root = std::make_unique<TKey>();
    s.Located = s.Loaded = s.DamagedInPlace = false;
    s.File.clear();
    s.Fault = TFault::None;
}

void SetFault(TFault Fault) {
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    s.Fault = Fault;
}

std::size_t OpenHandleCount() {
    TStore& s = store();
    std::lock_guard lock(s.Lock);
    return s.Handles.size();
}

} // namespace Registry
