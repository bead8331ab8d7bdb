#include "codec/nms_stream.h"

#include <algorithm>

#include "codec/nms_huge.h"

int32_t BufferSize = 32768;

TS_BufferStream::TS_BufferStream(TStream* Stream)
    : WrappedStream(Stream), BufferStart(nullptr), Cursor(nullptr), Limit(nullptr),
      Capacity(BufferSize), BufferState(bsUnknown) {
    BufferStart = new char[static_cast<size_t>(Capacity)];
    Limit = HugeOffset(BufferStart, Capacity);
}

TS_BufferStream::~TS_BufferStream() {
    if (BufferState == bsWrite) {
        // A destructor cannot report a failure: the held bytes are then lost, as on any failed
        // flush.
        try {
            FlushBuffer();
        } catch (...) {
        }
    }
    delete[] BufferStart;
}

int32_t TS_BufferStream::Read(void* Buffer, int32_t Count) {
    // Bytes already in the block: the common small read costs one copy.
    if (BufferState == bsRead && Count > 0 && Count <= Limit - Cursor) {
        HMemCpy(Buffer, Cursor, Count);
        HugeInc(Cursor, Count);
        return Count;
    }
    if (BufferState != bsRead) {
        if (BufferState == bsWrite)
            FlushBuffer();
        // The block counts as empty: the next byte comes from the wrapped stream's position.
        Cursor = Limit;
    }
    int32_t result = 0;
    char* target = static_cast<char*>(Buffer);
    while (Count > 0) {
        if (Cursor == Limit && !FillBuffer())
            break;
        const int32_t n = std::min(static_cast<int32_t>(Limit - Cursor), Count);
        HMemCpy(target, Cursor, n);
        HugeInc(Cursor, n);
        target = HugeOffset(target, n);
        Count -= n;
        result += n;
    }
    return result;
}

int32_t TS_BufferStream::Write(const void* Buffer, int32_t Count) {
    // Room left in the block: the common small write costs one copy.
    if (BufferState == bsWrite && Count > 0 && Count < Limit - Cursor) {
        HMemCpy(Cursor, Buffer, Count);
        HugeInc(Cursor, Count);
        return Count;
    }
    if (BufferState != bsWrite) {
        if (BufferState == bsRead) {
            // Give back the bytes read ahead and not delivered; the block is empty from here on,
            // also when this call holds nothing back.
            WrappedStream->SetPosition(WrappedStream->GetPosition() + GetBufPosition());
            BufferState = bsUnknown;
        }
        Cursor = BufferStart;
        Limit = HugeOffset(BufferStart, Capacity);
    }
    int32_t result = 0;
    const char* source = static_cast<const char*>(Buffer);
    while (Count > 0) {
        const int32_t n = std::min(static_cast<int32_t>(Limit - Cursor), Count);
        HMemCpy(Cursor, source, n);
        HugeInc(Cursor, n);
        source = HugeOffset(source, n);
        Count -= n;
        // Bytes of a flush that failed are lost, so they are not counted as taken.
        if (Cursor == Limit && !FlushBuffer())
            break;
        result += n;
    }
    if (Cursor != BufferStart)
        BufferState = bsWrite;
    return result;
}

int64_t TS_BufferStream::Seek(int64_t Offset, int Origin) {
    const int64_t current = WrappedStream->GetPosition() + GetBufPosition();
    int64_t target;
    if (Origin == soFromBeginning) {
        target = Offset;
    } else if (Origin == soFromCurrent) {
        target = current + Offset;
    } else if (Origin == soFromEnd) {
        // Written bytes still held may reach beyond the wrapped stream's end.
        int64_t size = WrappedStream->GetSize();
        if (BufferState == bsWrite)
            size = std::max(size, current);
        target = size - Offset;
    } else {
        throw Exception("Invalid seek origin = " + IntToStr(Origin));
    }
    if (target == current)
        return target;
    if (BufferState == bsWrite && !FlushBuffer())
        throw EStreamError("Seek error");
    // The position is where the wrapped stream went, which for a target before the start is
    // not the target (a memory stream stops at 0).
    const int64_t position = WrappedStream->Seek(target, soFromBeginning);
    Cursor = nullptr;
    BufferState = bsUnknown;
    return position;
}

void TS_BufferStream::PutBack(char C) {
    // An empty block has no byte before the cursor, wherever a read of nothing left it: a byte
    // stored there would never be delivered.
    if (Cursor == nullptr || Cursor <= BufferStart || BufferState == bsUnknown)
        throw EStreamError("PutBack overflow");
    if (BufferState == bsWrite) {
        // The held bytes end before the cursor: replace the last of them.
        *HugeOffset(Cursor, -1) = C;
        return;
    }
    HugeDec(Cursor, 1);
    *Cursor = C;
}

int32_t TS_BufferStream::GetBufPosition() const {
    if (BufferState == bsRead)
        return static_cast<int32_t>(Cursor - Limit);
    if (BufferState == bsWrite)
        return static_cast<int32_t>(Cursor - BufferStart);
    return 0;
}

bool TS_BufferStream::IsEof() {
    return Cursor == Limit && WrappedStream->GetPosition() == WrappedStream->GetSize();
}

bool TS_BufferStream::FillBuffer() {
    const int32_t n = WrappedStream->Read(BufferStart, Capacity);
    Cursor = BufferStart;
    Limit = HugeOffset(BufferStart, n);
    BufferState = n != 0 ? bsRead : bsUnknown;
    AfterFillBuffer();
    return n != 0;
}

void TS_BufferStream::AfterFillBuffer() {
    if (OnBufferFilled)
        OnBufferFilled(this);
}

void TS_BufferStream::AfterFlushBuffer() {
    if (OnBufferFlushed)
        OnBufferFlushed(this);
}

bool TS_BufferStream::FlushBuffer() {
    const int32_t offered = static_cast<int32_t>(Cursor - BufferStart);
    const int32_t written = WrappedStream->Write(BufferStart, offered);
    Cursor = BufferStart;
    BufferState = bsUnknown;
    AfterFlushBuffer();
    return written == offered;
}
