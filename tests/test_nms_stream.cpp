#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "codec/nms_stream.h"

namespace {

// A memory stream that counts the transfers it sees and can refuse part of a write.
class RecordingStream : public TMemoryStream {
public:
    int32_t Read(void* Buffer, int32_t Count) override {
        ++Reads;
        MaxTransfer = std::max(MaxTransfer, Count);
        return TMemoryStream::Read(Buffer, Count);
    }
    int32_t Write(const void* Buffer, int32_t Count) override {
        ++Writes;
        MaxTransfer = std::max(MaxTransfer, Count);
        return TMemoryStream::Write(Buffer, std::min(Count, WriteLimit));
    }
    int Reads = 0;
    int Writes = 0;
    int32_t MaxTransfer = 0;
    int32_t WriteLimit = INT32_MAX;
};

// Shows the state of the block.
class ProbeStream : public TS_BufferStream {
public:
    using TS_BufferStream::TS_BufferStream;
    TS_BufferState State() const { return BufferState; }
};

// Streams created while it lives use a block of Size bytes.
class BlockSize {
public:
    explicit BlockSize(int32_t Size) : Saved(BufferSize) { BufferSize = Size; }
    ~BlockSize() { BufferSize = Saved; }

private:
    int32_t Saved;
};

std::string Pattern(size_t Length) {
    std::string s(Length, '\0');
    for (size_t i = 0; i < Length; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

void Fill(TMemoryStream& Stream, const std::string& Bytes) {
    Stream.Write(Bytes.data(), static_cast<int32_t>(Bytes.size()));
    Stream.SetPosition(0);
}

int32_t Put(TStream& Stream, const std::string& Bytes) {
    return Stream.Write(Bytes.data(), static_cast<int32_t>(Bytes.size()));
}

std::string Take(TStream& Stream, int32_t Count) {
    std::string s(static_cast<size_t>(Count), '\0');
    s.resize(static_cast<size_t>(Stream.Read(s.data(), Count)));
    return s;
}

TEST(BufferStream, HeldWritesArePassedOnBySeekAndReadBack) {
    RecordingStream wrapped;
    ProbeStream buffered(&wrapped);
    const std::string data = Pattern(100);

    EXPECT_EQ(Put(buffered, data), 100);
    EXPECT_EQ(buffered.GetPosition(), 100);
    EXPECT_EQ(wrapped.Writes, 0) << "reading the position must cost no transfer";
    EXPECT_EQ(buffered.State(), bsWrite);

    buffered.SetPosition(0);
    EXPECT_EQ(wrapped.Bytes(), data);
    EXPECT_EQ(buffered.State(), bsUnknown);
    EXPECT_EQ(Take(buffered, 100), data);
}

TEST(BufferStream, FullBlockIsPassedOnDuringTheWrite) {
    // However the block is filled, the write that fills it passes it on.
    for (const std::vector<size_t>& pieces : std::vector<std::vector<size_t>>{
             {32768}, {32767, 1}, {1, 32767}, {62, 62, 32644}, {16384, 16384}}) {
        SCOPED_TRACE(pieces.size());
        RecordingStream wrapped;
        ProbeStream buffered(&wrapped);
        std::string all;
        for (size_t piece : pieces) {
            const std::string bytes = Pattern(all.size() + piece).substr(all.size());
            EXPECT_EQ(Put(buffered, bytes), static_cast<int32_t>(piece));
            all += bytes;
        }
        EXPECT_EQ(wrapped.Bytes(), Pattern(32768));
        EXPECT_EQ(wrapped.Writes, 1);
        EXPECT_EQ(buffered.State(), bsUnknown);
        EXPECT_EQ(buffered.GetBufPosition(), 0);
    }
}

TEST(BufferStream, SizeIncludesHeldBytes) {
    struct Case {
        size_t WrappedSize;
        int64_t Start;
        size_t Written;
        int64_t Size;
    };
    for (const Case& c : std::vector<Case>{{0, 0, 5, 5}, {16, 0, 5, 16}, {16, 14, 5, 19}}) {
        SCOPED_TRACE(c.Start);
        TMemoryStream wrapped;
        Fill(wrapped, Pattern(c.WrappedSize));
        TS_BufferStream buffered(&wrapped);
        buffered.SetPosition(c.Start);
        Put(buffered, std::string(c.Written, 'x'));
        EXPECT_EQ(buffered.GetSize(), c.Size);
        EXPECT_EQ(buffered.GetPosition(), c.Start + static_cast<int64_t>(c.Written));
    }
}

TEST(BufferStream, EofOnlyAfterReadingToTheEnd) {
    TMemoryStream wrapped;
    Fill(wrapped, Pattern(10));
    wrapped.SetPosition(10);
    EXPECT_FALSE(TS_BufferStream(&wrapped).IsEof()) << "a new stream is not at its end";

    TS_BufferStream buffered(&wrapped);
    buffered.SetPosition(0);
    EXPECT_EQ(Take(buffered, 20), Pattern(10));
    EXPECT_TRUE(buffered.IsEof());

    buffered.SetPosition(0);
    EXPECT_EQ(buffered.Seek(0, soFromEnd), 10);
    EXPECT_FALSE(buffered.IsEof()) << "a seek forgets the block";
}

TEST(BufferStream, SwitchingModesKeepsTheLogicalPosition) {
    TMemoryStream wrapped;
    Fill(wrapped, "0123456789");
    TS_BufferStream buffered(&wrapped);

    // A write after reads lands on the first byte not delivered yet.
    EXPECT_EQ(Take(buffered, 3), "012");
    Put(buffered, "ab");
    EXPECT_EQ(buffered.GetPosition(), 5);
    // A read after writes continues after the written bytes.
    EXPECT_EQ(Take(buffered, 2), "56");
    EXPECT_EQ(wrapped.Bytes(), "012ab56789");

    // An empty write after reads gives the block back and leaves nothing stale in it.
    Put(buffered, "");
    EXPECT_EQ(buffered.GetPosition(), 7);
    EXPECT_EQ(Take(buffered, 5), "789");
}

TEST(BufferStream, PutBackStepsBackInTheBlock) {
    TMemoryStream wrapped;
    Fill(wrapped, "0123456789");
    TS_BufferStream buffered(&wrapped);
    EXPECT_THROW(buffered.PutBack('x'), EStreamError) << "after construction";

    EXPECT_EQ(Take(buffered, 3), "012");
    buffered.PutBack('c');
    buffered.PutBack('b');
    buffered.PutBack('a');
    try {
        buffered.PutBack('z');
        ADD_FAILURE() << "a fourth byte was put back";
    } catch (const EStreamError& e) {
        EXPECT_EQ(e.Message, "PutBack overflow");
    }
    EXPECT_EQ(Take(buffered, 5), "abc34");

    buffered.SetPosition(0);
    EXPECT_THROW(buffered.PutBack('x'), EStreamError) << "after a seek";

    // In write mode it replaces the last byte not passed on.
    Put(buffered, "XYZ");
    buffered.PutBack('!');
    buffered.SetPosition(0);
    EXPECT_EQ(wrapped.Bytes(), "XY!3456789");
}

TEST(BufferStream, SeekOriginsAndTheEnd) {
    struct Case {
        int64_t Offset;
        int Origin;
        int64_t Position;
    };
    // Each seek starts at position 4 of ten bytes; origin 2 counts back from the end.
    for (const Case& c : std::vector<Case>{
             {3, soFromBeginning, 3},
             {3, soFromCurrent, 7},
             {-2, soFromCurrent, 2},
             {0, soFromEnd, 10},
             {3, soFromEnd, 7},
         }) {
        SCOPED_TRACE(::testing::Message() << c.Offset << " from " << c.Origin);
        TMemoryStream wrapped;
        Fill(wrapped, "0123456789");
        TS_BufferStream buffered(&wrapped);
        EXPECT_EQ(Take(buffered, 4), "0123");
        EXPECT_EQ(buffered.Seek(c.Offset, c.Origin), c.Position);
        EXPECT_EQ(Take(buffered, 1), std::string("0123456789").substr(c.Position, 1));
    }
}

TEST(BufferStream, InvalidOriginChangesNothing) {
    RecordingStream wrapped;
    TS_BufferStream buffered(&wrapped);
    Put(buffered, "abc");
    try {
        buffered.Seek(0, 3);
        ADD_FAILURE() << "origin 3 was accepted";
    } catch (const EStreamError&) {
        ADD_FAILURE() << "raised as a stream error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "Invalid seek origin = 3");
    }
    EXPECT_EQ(wrapped.Writes, 0);
    EXPECT_EQ(buffered.GetPosition(), 3);
}

TEST(BufferStream, RefusedBytesAreReported) {
    BlockSize block(16);
    RecordingStream wrapped;
    wrapped.WriteLimit = 10;
    TS_BufferStream buffered(&wrapped);

    // The flush of the first full block loses 6 bytes, so the write says it fell short.
    EXPECT_LT(Put(buffered, Pattern(20)), 20);
    EXPECT_THROW(buffered.WriteBuffer("0123456789abcdef", 16), EWriteError);

    Put(buffered, Pattern(12));
    try {
        buffered.SetPosition(0);
        ADD_FAILURE() << "the seek passed on fewer bytes than held";
    } catch (const EStreamError& e) {
        EXPECT_EQ(e.Message, "Seek error");
    }
}

TEST(BufferStream, WrappedStreamSeesBlockSizedTransfers) {
    RecordingStream wrapped;
    TS_BufferStream buffered(&wrapped);
    const std::string line = Pattern(60) + "\r\n";
    for (int i = 0; i < 1000; ++i)
        Put(buffered, line);
    buffered.SetPosition(0);
    EXPECT_EQ(wrapped.Writes, 2);
    EXPECT_EQ(wrapped.GetSize(), 62000);

    std::string copy;
    char c;
    while (buffered.Read(&c, 1) == 1)
        copy += c;
    EXPECT_EQ(copy.size(), 62000u);
    EXPECT_EQ(wrapped.Reads, 3) << "two blocks and the read that finds the end";
    EXPECT_EQ(wrapped.MaxTransfer, 32768);
}

// Whatever the caller's pieces, the wrapped stream sees transfers of at most one block.
TEST(BufferStream, WrappedStreamNeverSeesMoreThanABlock) {
    struct Case {
        const char* Name;
        size_t Piece; // bytes per call
        int Writes;   // transfers to the wrapped stream for 100000 bytes, the rewind included
        int Reads;    // transfers from it to read them back, those that find the end included
    };
    for (const Case& c : std::vector<Case>{
             {"one byte at a time", 1, 4, 5},
             {"lines", 62, 4, 6},
             {"just under a block", 32767, 4, 6},
             {"a block", 32768, 4, 6},
             {"three blocks and more", 100000, 4, 5},
         }) {
        SCOPED_TRACE(c.Name);
        RecordingStream wrapped;
        TS_BufferStream buffered(&wrapped);
        const std::string data = Pattern(100000);
        for (size_t at = 0; at < data.size(); at += c.Piece)
            Put(buffered, data.substr(at, c.Piece));
        buffered.SetPosition(0);
        EXPECT_EQ(wrapped.Bytes(), data);
        EXPECT_EQ(wrapped.Writes, c.Writes);

        std::string copy;
        for (std::string piece; !(piece = Take(buffered, static_cast<int32_t>(c.Piece))).empty();)
            copy += piece;
        EXPECT_EQ(copy, data);
        EXPECT_EQ(wrapped.Reads, c.Reads);
        EXPECT_EQ(wrapped.MaxTransfer, 32768);
    }
}

TEST(BufferStream, DestructionPassesHeldBytesOn) {
    TMemoryStream wrapped;
    { TS_BufferStream(&wrapped).Write("abc", 3); }
    EXPECT_EQ(wrapped.Bytes(), "abc");

    // A wrapped stream that fails in the final flush must not end the program.
    class ThrowingStream : public TMemoryStream {
        int32_t Write(const void*, int32_t) override { throw EWriteError("disk full"); }
    } failing;
    { TS_BufferStream(&failing).Write("abc", 3); }
}

TEST(BufferStream, EventsFireAfterEachFillAndFlush) {
    BlockSize block(4);
    TMemoryStream wrapped;
    Fill(wrapped, "0123456789");
    TS_BufferStream buffered(&wrapped);
    std::string events;
    buffered.OnBufferFilled = [&](TObject* Sender) {
        EXPECT_EQ(Sender, &buffered);
        events += 'F';
    };
    buffered.OnBufferFlushed = [&](TObject* Sender) {
        EXPECT_EQ(Sender, &buffered);
        events += 'W';
    };
    Take(buffered, 6);      // two blocks
    Put(buffered, "abcde"); // one full block, one byte held
    buffered.SetPosition(0);
    EXPECT_EQ(events, "FFWW");
    EXPECT_EQ(wrapped.Bytes(), "012345abcde");
}

// Random reads, writes and seeks through a tiny block give the same results as the same calls
// on a plain memory stream.
TEST(BufferStream, BehavesLikeTheStreamItWraps) {
    BlockSize block(8);
    TMemoryStream wrapped;
    TMemoryStream model;
    TS_BufferStream buffered(&wrapped);
    std::mt19937 random(7);
    const auto below = [&random](int64_t n) {
        return static_cast<int64_t>(random() % static_cast<uint64_t>(n));
    };

    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        const int64_t size = model.GetSize();
        const int64_t position = model.GetPosition();
        switch (below(6)) {
        case 0: {
            const std::string bytes(static_cast<size_t>(below(20)),
                                    static_cast<char>('A' + step % 26));
            ASSERT_EQ(Put(buffered, bytes), Put(model, bytes));
            break;
        }
        case 1: {
            const auto count = static_cast<int32_t>(below(20));
            ASSERT_EQ(Take(buffered, count), Take(model, count));
            break;
        }
        case 2: {
            const int64_t target = below(size + 4);
            ASSERT_EQ(buffered.Seek(target, soFromBeginning), model.Seek(target, soFromBeginning));
            break;
        }
        case 3: {
            const int64_t offset = below(size + 4) - position;
            ASSERT_EQ(buffered.Seek(offset, soFromCurrent), model.Seek(offset, soFromCurrent));
            break;
        }
        case 4: {
            const int64_t back = below(size + 1);
            ASSERT_EQ(buffered.Seek(back, soFromEnd), model.Seek(-back, soFromEnd));
            break;
        }
        case 5:
            ASSERT_EQ(buffered.GetSize(), size);
            break;
        }
        ASSERT_EQ(buffered.GetPosition(), model.GetPosition());
    }
    buffered.SetPosition(0);
    EXPECT_EQ(wrapped.Bytes(), model.Bytes());
}

} // namespace
