// Pointer arithmetic and block copies for the buffered stream. None of them raises.
#pragma once

#include <cstdint>

// Advances HugePtr by Amount bytes.
void HugeInc(char*& HugePtr, int32_t Amount);
// Moves HugePtr back by Amount bytes.
void HugeDec(char*& HugePtr, int32_t Amount);
// Returns the pointer Amount bytes after HugePtr.
char* HugeOffset(char* HugePtr, int32_t Amount);
const char* HugeOffset(const char* HugePtr, int32_t Amount);
// Copies Amount bytes from SrcPtr to DstPtr; the two blocks must not overlap.
void HMemCpy(void* DstPtr, const void* SrcPtr, int32_t Amount);
