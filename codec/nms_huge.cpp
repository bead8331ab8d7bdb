#include "codec/nms_huge.h"

#include <cstring>

void HugeInc(char*& HugePtr, int32_t Amount) {
    HugePtr += Amount;
}

void HugeDec(char*& HugePtr, int32_t Amount) {
    HugePtr -= Amount;
}

char* HugeOffset(char* HugePtr, int32_t Amount) {
    return HugePtr + Amount;
}

const char* HugeOffset(const char* HugePtr, int32_t Amount) {
    return HugePtr + Amount;
}

void HMemCpy(void* DstPtr, const void* SrcPtr, int32_t Amount) {
    std::memcpy(DstPtr, SrcPtr, static_cast<size_t>(Amount));
}
