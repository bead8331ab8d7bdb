// The current user's registry: typed values under backslash-separated keys, kept in one text
// file, $XDG_CONFIG_HOME/vintrop/registry.reg (~/.config/vintrop/ when the variable is unset).
//
// Key and value names compare without regard to case and keep the case they were created
// with. The file is read at the first call. Every call that changes the store rewrites the
// file before it returns, atomically (a temporary file beside it, flushed, then renamed over
// it), so the file always holds the state after some complete call; a call that leaves the
// store as it was (a value set to what it already holds) writes nothing. When the file cannot
// be written the call fails and the store keeps its previous state.
//
// A file that cannot be read or parsed is renamed to registry.reg.damaged-<date>-<time> and
// the store starts empty; it is never overwritten. None of the calls raise or wait for events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using BYTE = unsigned char;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using REGSAM = DWORD;

struct HKEY__;
using HKEY = HKEY__*;

// The root of the store, always open.
extern HKEY const HKEY_CURRENT_USER;

// Results.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;     // no such key or value
constexpr LONG ERROR_ACCESS_DENIED = 5;      // the handle lacks the access the call needs
constexpr LONG ERROR_INVALID_HANDLE = 6;     // not an open key
constexpr LONG ERROR_WRITE_FAULT = 29;       // the file could not be written
constexpr LONG ERROR_INVALID_PARAMETER = 87; // a bad argument or key name
constexpr LONG ERROR_MORE_DATA = 234;        // the value is larger than the buffer

// Value types; any other number is kept as well, as raw bytes.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4; // 4 bytes, least significant first

// Access rights of a handle.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
// Dispositions of RegCreateKeyEx.
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens the existing key SubKey (names separated by backslashes; empty or null: Key itself)
// below Key. On success *Result is a new handle to be closed with RegCloseKey.
LONG RegOpenKeyEx(HKEY Key, const char* SubKey, DWORD Options, REGSAM Access, HKEY* Result);

// Opens SubKey below Key, creating it and any missing key on its path; a new key is written
// to the file at once. Class and Security are ignored; Disposition may be null.
LONG RegCreateKeyEx(HKEY Key, const char* SubKey, DWORD Reserved, char* Class, DWORD Options,
                    REGSAM Access, const void* Security, HKEY* Result, DWORD* Disposition);

// Reads the value Name (null or empty: the key's default value). Type may be null. With a
// null Data only the size is returned in *Size. When the value holds more than *Size bytes
// the result is ERROR_MORE_DATA, *Size is set to the size needed and Data is left alone.
// The bytes come back exactly as stored, whatever the type: a string stored without its NUL
// comes back without one.
LONG RegQueryValueEx(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                     DWORD* Size);

// Stores Size bytes of Data as the value Name of the given type (a REG_SZ text includes its
// NUL in Size) and writes the file.
LONG RegSetValueEx(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                   DWORD Size);

LONG RegCloseKey(HKEY Key);

namespace Registry {

// The path of the file, from the environment as it was at the first call after Reset.
std::string FilePath();

// Forgets the store, every open handle and any fault; the next call reads the file again,
// from the folder that XDG_CONFIG_HOME (or HOME) names at that moment. For tests.
void Reset();

// For tests: makes every following file write fail at the given step (creating the temporary
// file, writing it, flushing it, renaming it over the file), until set to None or Reset.
enum class TFault { None, Create, Write, Sync, Rename };
void SetFault(TFault Fault);

// For tests: the number of handles opened and not yet closed.
std::size_t OpenHandleCount();

} // namespace Registry
