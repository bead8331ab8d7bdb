// Pointer arithmetic and block copies for the buffered stream. None of them raises. They are
// defined here so that the buffered stream's per-call costs stay those of the copies alone.
#pragma once

#include <cstdint>
#include <cstring>

// Advances HugePtr by Amount bytes.
inline void HugeInc(char*& HugePtr, int32_t Amount) {
    HugePtr += Amount;
}

// Moves HugePtr back by Amount bytes.
inline void HugeDec(char*& HugePtr, int32_t Amount) {
    HugePtr -= Amount;
}

// Returns the pointer Amount bytes after HugePtr.
inline char* HugeOffset(char* HugePtr, int32_t Amount) {
    return HugePtr + Amount;
}

inline const char* HugeOffset(const char* HugePtr, int32_t Amount) {
    return HugePtr + Amount;
}

// Copies Amount bytes from SrcPtr to DstPtr; the two blocks must not overlap.
inline void HMemCpy(void* DstPtr, const void* SrcPtr, int32_t Amount) {
    std::memcpy(DstPtr, SrcPtr, static_cast<size_t>(Amount));
}
