// The registry routines: values of keys below "Software" of the current user's registry.
// Each routine opens the key, reads or writes one value and closes the key again; none keeps
// a key open, raises or waits for events. Results are 1 for success and 0 otherwise.
#pragma once

#include "platform/registry.h"

// The size of the callers' text buffers and of the key path: a text has at most 259
// characters before its NUL.
constexpr DWORD RegBufferSize = 260;

// Opens "Software\<SubKey>"; null when it does not exist. The caller closes the key.
HKEY OpenUserKey(const char* SubKey);

// Opens "Software\<SubKey>", creating it when missing; null on failure. The caller closes it.
HKEY CreateUserKey(const char* SubKey);

// Reads a value into Buffer of Size bytes and ends it with a NUL. A value that does not fit
// with its NUL (more than Size - 1 characters) counts as absent. The type is not checked.
int ReadStringValue(const char* SubKey, const char* Name, char* Buffer, DWORD Size);

// Reads a value of at most 4 bytes, least significant first; missing high bytes are zero.
// The type is not checked. *Value is left alone when nothing is read.
int ReadDwordValue(const char* SubKey, const char* Name, DWORD* Value);

// Writes Text with its NUL as a REG_SZ value; a text of more than 259 characters is refused.
int WriteStringValue(const char* SubKey, const char* Name, const char* Text);

// Writes a REG_DWORD value.
int WriteDwordValue(const char* SubKey, const char* Name, DWORD Value);
