// The settings file reader: the input is written as the settings file, then keys and values
// are opened and queried as the program does. A file that cannot be used must be set aside
// unchanged; a file that can be read must survive being written back: after a change and a
// fresh start, every key and value reads as before.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzzpeer.h"
#include "platform/registry.h"

using namespace fuzz;
namespace fs = std::filesystem;

namespace {

// A private configuration folder for the process, removed at exit.
struct TFolder {
    fs::path Base;
    TFolder() {
        const char* tmp = std::getenv("TMPDIR");
        // Memory-backed when there is one: every change of the store flushes the file.
        for (const std::string& parent :
             {std::string("/dev/shm"), std::string(tmp ? tmp : "/tmp")}) {
            std::string pattern = parent + "/vintrop-fuzz-XXXXXX";
            if (::mkdtemp(pattern.data())) {
                Base = pattern;
                break;
            }
        }
        if (Base.empty())
            Fail("mkdtemp");
        ::setenv("XDG_CONFIG_HOME", Base.c_str(), 1);
    }
    ~TFolder() {
        std::error_code ignored;
        fs::remove_all(Base, ignored);
    }
    fs::path Folder() const { return Base / "vintrop"; }
    fs::path File() const { return Folder() / "registry.reg"; }
};

TFolder& Folder() {
    static TFolder folder;
    return folder;
}

std::string ReadFile(const fs::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TQuery {
    std::string Key;
    std::string Value;
    bool Default = false;
};

// The keys and value names the file names, as plain text; at most 64.
std::vector<TQuery> QueriesOf(const std::string& Text) {
    std::vector<TQuery> queries = {{"Software\\vintrop", "Server", false},
                                   {"Software\\vintrop\\Book", "", true}};
    std::string key;
    size_t start = 0;
    while (start < Text.size() && queries.size() < 64) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos)
            end = Text.size();
        std::string line = Text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        static const std::string root = "[HKEY_CURRENT_USER";
        if (line.starts_with(root) && line.back() == ']') {
            key = line.substr(root.size(), line.size() - root.size() - 1);
            if (!key.empty() && key[0] == '\\')
                key.erase(0, 1);
            queries.push_back({key, "", true});
        } else if (line.starts_with("@=")) {
            queries.push_back({key, "", true});
        } else if (line.starts_with("\"")) {
            const size_t close = line.find('"', 1);
            if (close != std::string::npos)
                queries.push_back({key, line.substr(1, close - 1), false});
        }
    }
    // The key the check below changes is left out.
    std::erase_if(queries, [](const TQuery& Q) {
        std::string key = Q.Key;
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return key == "software\\fuzz";
    });
    return queries;
}

// Everything the queries give: open results, types, sizes and bytes.
std::string Snapshot(const std::vector<TQuery>& Queries) {
    std::string out;
    for (const TQuery& q : Queries) {
        HKEY key = nullptr;
        const LONG opened = RegOpenKeyEx(HKEY_CURRENT_USER, q.Key.c_str(), 0, KEY_READ, &key);
        out += "open " + std::to_string(opened) + "\n";
        if (opened != ERROR_SUCCESS) {
            Check(key == nullptr, "a failed open gave a handle");
            continue;
        }
        const char* name = q.Default ? nullptr : q.Value.c_str();
        DWORD type = 0, size = 0;
        const LONG sized = RegQueryValueEx(key, name, nullptr, &type, nullptr, &size);
        out += "size " + std::to_string(sized) + " " + std::to_string(type) + " " +
               std::to_string(size) + "\n";
        if (sized == ERROR_SUCCESS) {
            std::vector<BYTE> data(size + 1, 0xAA);
            DWORD got = size + 1;
            Check(RegQueryValueEx(key, name, nullptr, &type, data.data(), &got) == ERROR_SUCCESS &&
                      got == size && data[size] == 0xAA,
                  "a value read differs from its size");
            out.append(reinterpret_cast<const char*>(data.data()), size);
            if (size > 0) {
                DWORD small = size - 1;
                Check(RegQueryValueEx(key, name, nullptr, &type, data.data(), &small) ==
                              ERROR_MORE_DATA &&
                          small == size,
                      "a short buffer was not refused");
            }
        }
        Check(RegCloseKey(key) == ERROR_SUCCESS, "RegCloseKey");
    }
    return out;
}

std::vector<fs::path> SetAside() {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(Folder().Folder()))
        if (entry.path().filename().string().starts_with("registry.reg.damaged-"))
            found.push_back(entry.path());
    return found;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Folder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    const TFolder& folder = Folder();
    fs::remove_all(folder.Folder());
    fs::create_directories(folder.Folder());
    {
        std::ofstream out(folder.File(), std::ios::binary);
        out.write(input.data(), static_cast<std::streamsize>(input.size()));
    }
    Registry::Reset();
    Check(Registry::FilePath() == folder.File().string(), "the settings file is elsewhere");

    const std::vector<TQuery> queries = QueriesOf(input);
    const std::string before = Snapshot(queries);
    const bool usable = fs::exists(folder.File());
    if (usable) {
        Check(ReadFile(folder.File()) == input, "reading changed the file");
        Check(SetAside().empty(), "a usable file was set aside");
    } else {
        const std::vector<fs::path> aside = SetAside();
        Check(aside.size() == 1, "a damaged file was not set aside");
        Check(ReadFile(aside[0]) == input, "the damaged file was changed");
    }

    // A change rewrites the file; a fresh start must read it back as it was.
    HKEY key = nullptr;
    Check(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\fuzz", 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS,
          "RegCreateKeyEx");
    const DWORD mark = 0x12345678;
    Check(RegSetValueEx(key, "Mark", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mark), 4) ==
              ERROR_SUCCESS,
          "RegSetValueEx");
    RegCloseKey(key);
    Check(Registry::OpenHandleCount() == 0, "handles left open");

    Registry::Reset();
    const std::string after = Snapshot(queries);
    Check(fs::exists(folder.File()), "the written file could not be read back");
    Check(SetAside().size() == (usable ? 0u : 1u), "the written file was set aside");
    if (usable)
        Check(after == before, "the settings changed on the way through the file");
    else
        Check(ReadFile(SetAside()[0]) == input, "the damaged file was overwritten");
    DWORD value = 0, size = 4;
    Check(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\fuzz", 0, KEY_READ, &key) == ERROR_SUCCESS &&
              RegQueryValueEx(key, "Mark", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                              &size) == ERROR_SUCCESS &&
              value == mark,
          "the change was lost");
    RegCloseKey(key);
    return 0;
}
