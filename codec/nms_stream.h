// A stream that gathers small reads and writes of another stream into one block.
#pragma once

#include <cstdint>

#include "platform/classes.h"

// The block size of buffered streams created from now on.
extern int32_t BufferSize;

enum TS_BufferState : uint8_t {
    bsUnknown = 0, // the block holds nothing
    bsRead = 1,    // the block holds bytes read ahead and not yet delivered
    bsWrite = 2,   // the block holds written bytes not yet passed on
};

// Stands in front of WrappedStream (not owned) and passes on transfers of at most Capacity
// bytes. Its position is the wrapped stream's position plus GetBufPosition(). Origin 2 of Seek
// counts back from the end: Seek(10, soFromEnd) is ten bytes before the end. The size cannot be
// set through it. Errors of the wrapped stream pass through unchanged.
class TS_BufferStream : public TStream {
public:
    // Raises only std::bad_alloc.
    explicit TS_BufferStream(TStream* Stream);
    // Passes held written bytes on; a failure of that last flush is ignored.
    ~TS_BufferStream() override;
    TS_BufferStream(const TS_BufferStream&) = delete;
    TS_BufferStream& operator=(const TS_BufferStream&) = delete;

    // Returns the bytes delivered, fewer than Count only at the end of the wrapped stream. Held
    // written bytes are passed on first; a short flush there goes unnoticed.
    int32_t Read(void* Buffer, int32_t Count) override;
    // Returns the bytes taken, fewer than Count when the wrapped stream refused bytes of a
    // flush (those bytes are lost).
    int32_t Write(const void* Buffer, int32_t Count) override;
    // Returns the new position. Raises Exception "Invalid seek origin = <n>" for an origin other
    // than 0, 1, 2, and EStreamError "Seek error" when held bytes could not all be passed on.
    int64_t Seek(int64_t Offset, int Origin) override;

    // After reads, steps back one byte in the block and stores C there, so that the next Read
    // delivers it first; while written bytes are held, replaces the last of them. Raises
    // EStreamError "PutBack overflow" when there is no byte before the cursor.
    virtual void PutBack(char C);
    // The offset of the position from the wrapped stream's position. Raises nothing.
    int32_t GetBufPosition() const;
    // True when nothing read ahead is left and the wrapped stream is at its end.
    bool IsEof();

    TNotifyEvent OnBufferFilled;
    TNotifyEvent OnBufferFlushed;

protected:
    // Reads the next block from the wrapped stream; returns whether bytes came.
    virtual bool FillBuffer();
    // Fire OnBufferFilled and OnBufferFlushed; a derived class works on the block here.
    virtual void AfterFillBuffer();
    virtual void AfterFlushBuffer();
    // Writes the held bytes to the wrapped stream and empties the block; returns whether the
    // wrapped stream took them all.
    virtual bool FlushBuffer();

    TStream* WrappedStream;
    char* BufferStart; // the block, Capacity bytes
    char* Cursor;      // null after construction and after every seek
    char* Limit;       // read: end of the bytes read ahead; write: end of the block
    int32_t Capacity;
    TS_BufferState BufferState;
};
