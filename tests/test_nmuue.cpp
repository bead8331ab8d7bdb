#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "codec/nms_stream.h"
#include "codec/nmuue.h"

namespace {

std::string Repeat(const std::string& S, int Times) {
    std::string result;
    for (int i = 0; i < Times; ++i)
        result += S;
    return result;
}

// Length bytes in which every byte value occurs once Length reaches 256.
std::string Bytes(size_t Length) {
    std::string s(Length, '\0');
    for (size_t i = 0; i < Length; ++i)
        s[i] = static_cast<char>((i * 151 + Length * 7) & 0xFF);
    return s;
}

std::string Encoded(const std::string& Data, UUMethods Method) {
    TMemoryStream source;
    TMemoryStream target;
    source.Write(Data.data(), static_cast<int32_t>(Data.size())); // left at the end
    TNMUUProcessor uu;
    uu.Method = Method;
    uu.SourceStream = &source;
    uu.TargetStream = &target;
    uu.Encode();
    EXPECT_EQ(target.GetPosition(), 0);
    return target.Bytes();
}

std::string Decoded(const std::string& Text, UUMethods Method) {
    TMemoryStream source;
    TMemoryStream target;
    source.Write(Text.data(), static_cast<int32_t>(Text.size()));
    source.SetPosition(0);
    TNMUUProcessor uu;
    uu.Method = Method;
    uu.SourceStream = &source;
    uu.TargetStream = &target;
    uu.Decode();
    EXPECT_LE(source.GetPosition(), source.GetSize());
    return target.Bytes();
}

std::string WithBareLF(std::string Text) {
    std::erase(Text, '\r');
    return Text;
}

const char* MethodName(UUMethods Method) {
    return Method == uuMime ? "uuMime" : "uuCode";
}

struct Case {
    UUMethods Method;
    std::string Data;
    std::string Text;
};

TEST(Nmuue, EncodesLinesAndPadding) {
    const std::string aaa15 = Repeat("YWFh", 15);
    const std::string uuaaa15 = "M" + Repeat("86%A", 15);
    const std::vector<Case> cases = {
        {uuMime, "", ""},
        {uuCode, "", "`\r\n"},
        {uuMime, "a", "YQ==\r\n"},
        {uuCode, "a", "!80\r\n`\r\n"},
        {uuMime, "ab", "YWI=\r\n"},
        {uuCode, "ab", "\"86(\r\n`\r\n"},
        {uuMime, "abc", "YWJj\r\n"},
        {uuCode, "abc", "#86)C\r\n`\r\n"},
        {uuMime, "\xff\xfe\xfd", "//79\r\n"},
        {uuCode, "\xff\xfe\xfd", "#__[]\r\n`\r\n"},
        {uuCode, std::string(3, '\0'), "#````\r\n`\r\n"},
        {uuMime, std::string(45, 'a'), aaa15 + "\r\n"},
        {uuCode, std::string(45, 'a'), uuaaa15 + "\r\n`\r\n"},
        {uuMime, std::string(46, 'a'), aaa15 + "\r\nYQ==\r\n"},
        {uuCode, std::string(46, 'a'), uuaaa15 + "\r\n!80\r\n`\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << MethodName(c.Method) << " " << c.Data.size());
        EXPECT_EQ(Encoded(c.Data, c.Method), c.Text);
    }
}

TEST(Nmuue, EncodeAppendsAtTheTargetPositionAndRewinds) {
    TMemoryStream source;
    TMemoryStream target;
    source.Write("abc", 3);
    target.Write("XY", 2);
    TNMUUProcessor uu;
    uu.SourceStream = &source;
    uu.TargetStream = &target;
    uu.Encode();
    EXPECT_EQ(target.Bytes(), "XYYWJj\r\n");
    EXPECT_EQ(target.GetPosition(), 0);
}

// A target that takes only the first Room bytes written to it.
class ShortTarget : public TMemoryStream {
public:
    explicit ShortTarget(int32_t Room) : Room(Room) {}
    int32_t Write(const void* Buffer, int32_t Count) override {
        const int32_t n = std::min(Count, Room);
        Room -= n;
        return TMemoryStream::Write(Buffer, n);
    }

private:
    int32_t Room;
};

TEST(Nmuue, EventsAndAFailingTarget) {
    TMemoryStream source;
    source.Write(Bytes(100).data(), 100);
    ShortTarget target(70); // the second line does not fit
    TNMUUProcessor uu;
    uu.SourceStream = &source;
    uu.TargetStream = &target;
    std::string events;
    uu.OnBeginEncode = [&](TObject* Sender) {
        EXPECT_EQ(Sender, &uu);
        events += "[encode ";
    };
    uu.OnEndEncode = [&](TObject*) { events += "encode] "; };
    uu.OnBeginDecode = [&](TObject*) { events += "[decode "; };
    uu.OnEndDecode = [&](TObject*) { events += "decode]"; };

    EXPECT_THROW(uu.Encode(), EWriteError);
    EXPECT_EQ(target.GetPosition(), 0);

    TMemoryStream text;
    text.Write("YWJj\r\n", 6);
    text.SetPosition(0);
    uu.SourceStream = &text;
    EXPECT_THROW(uu.Decode(), EWriteError); // the target has no room left
    EXPECT_EQ(events, "[encode encode] [decode ");

    TMemoryStream bytes;
    text.SetPosition(0);
    uu.TargetStream = &bytes;
    uu.Decode();
    EXPECT_EQ(events, "[encode encode] [decode [decode decode]");
    EXPECT_EQ(bytes.Bytes(), "abc");
}

TEST(Nmuue, DecodesBase64Text) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"YWJj\r\n", "abc"},
        {"YWJj", "abc"},                       // last line without LF
        {"YWJj\nZGVm\n", "abcdef"},            // bare LF line ends
        {"YWJj\r\r\n", "abc"},                 // a stray CR
        {"YWJjZGVm\r\nYWJj\r\n", "abcdefabc"}, // lines of different lengths
        {"YQ==\r\n", "a"},
        {"YWI=\r\n", "ab"},
        {"YWJ\r\n", "ab"},         // a group cut by the line end
        {"YQ==\r\nYWJj\r\n", "a"}, // "=" ends the data
        {"YQ==YWJj\r\n", "a"},     // and the rest of its line
        {"YWI=YWJj\r\n", "ab"},
        {"====\r\nYWJj\r\n", "abc"}, // "====" lines are left out
        {"YWJj\r\n=====x\r\nZGVm\r\n", "abcdef"},
        {"\r\n\r\nYW\r\nYWJj\r\n", "abc"},       // lines of two characters or fewer
        {"  !YWJj\r\n", "abc"},                  // leading garbage is skipped
        {"YWJj*ZGVm\r\n", "abcdef"},             // garbage before a group is stepped over
        {"YWJj\r\n--=_part\r\nZGVm\r\n", "abc"}, // "=" before the data ends the decoding
    };
    for (const auto& [text, data] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Decoded(text, uuMime), data);
    }
}

TEST(Nmuue, DecodesUuencodeText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"#86)C\r\n`\r\n", "abc"},
        {"#86)C\n`\n", "abc"}, // bare LF line ends
        {"#86)C", "abc"},      // last line without LF
        {"!80\r\n", "a"},
        {"!80``\r\n", "a"},                  // a group filled up to four characters
        {"#    \r\n", std::string(3, '\0')}, // space counts as zero, like "`"
        {"\r\n!\r\n#86)C\r\n", "abc"},       // lines of two characters or fewer
        {"M86%A\r\n", "aaa"},                // shorter than its count
        {"#86\r\n", "a"},
        {"`xx\r\n#86)C\r\n#86)C\r\n", "abc"}, // a count of 0 skips the next line
    };
    for (const auto& [text, data] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Decoded(text, uuCode), data);
    }
}

TEST(Nmuue, DecodersEndOnAnyText) {
    std::vector<std::string> texts = {
        "=",
        "\r",
        "\n\n\n",
        "AB=",
        "ABC=D",
        "-=",
        "\r\r\r",
        "M",
        "M\r\n",
        "MM",
        "~~~",
        "=\r\nA",
        "QQ==QQ==",
        std::string(250, 'x'),
        std::string(250, 'M'),
    };
    std::string everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte += static_cast<char>(b);
    texts.push_back(Repeat(everyByte, 3));
    std::mt19937 random(1);
    std::string noise(5000, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    texts.push_back(noise);

    // What comes out is not specified; the decoders must return without reading outside the
    // text (the sanitizer build checks that).
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 10));
        Decoded(text, uuMime);
        Decoded(text, uuCode);
    }
}

// A stream whose size says 100 bytes more than it delivers.
class OverstatedStream : public TMemoryStream {
public:
    int64_t Seek(int64_t Offset, int Origin) override {
        return TMemoryStream::Seek(Origin == soFromEnd ? Offset + 100 : Offset, Origin);
    }
};

TEST(Nmuue, EndsOnASourceShorterThanItsSize) {
    const std::string data = Bytes(1000);
    for (UUMethods method : {uuMime, uuCode}) {
        SCOPED_TRACE(MethodName(method));
        TNMUUProcessor uu;
        uu.Method = method;
        OverstatedStream source;
        TMemoryStream text;
        source.Write(data.data(), static_cast<int32_t>(data.size()));
        uu.SourceStream = &source;
        uu.TargetStream = &text;
        uu.Encode();
        EXPECT_EQ(text.Bytes(), Encoded(data, method));

        OverstatedStream encoded;
        TMemoryStream bytes;
        encoded.Write(text.Memory(), static_cast<int32_t>(text.Bytes().size()));
        encoded.SetPosition(0);
        uu.SourceStream = &encoded;
        uu.TargetStream = &bytes;
        uu.Decode();
        EXPECT_EQ(bytes.Bytes(), data);
    }
}

TEST(Nmuue, DecodeWorksFromTheCurrentPositions) {
    TMemoryStream source;
    TMemoryStream target;
    source.Write("junk\r\nYWJj\r\n", 12);
    source.SetPosition(6);
    target.Write("Z", 1);
    TNMUUProcessor uu;
    uu.SourceStream = &source;
    uu.TargetStream = &target;
    uu.Decode();
    EXPECT_EQ(target.Bytes(), "Zabc");
    EXPECT_EQ(target.GetPosition(), 4);
    EXPECT_EQ(source.GetPosition(), 12);

    source.SetPosition(100); // beyond the end: nothing to read, and no endless loop
    uu.Decode();
    EXPECT_EQ(target.Bytes(), "Zabc");
}

TEST(Nmuue, RoundTripsEveryByteValueAndLength) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 100; ++n)
        lengths.push_back(n);
    for (size_t n : {255, 256, 257, 1000, 45 * 300 + 1})
        lengths.push_back(n);
    for (UUMethods method : {uuMime, uuCode}) {
        for (size_t n : lengths) {
            SCOPED_TRACE(::testing::Message() << MethodName(method) << " " << n);
            const std::string data = Bytes(n);
            const std::string text = Encoded(data, method);
            ASSERT_EQ(Decoded(text, method), data);
            ASSERT_EQ(Decoded(WithBareLF(text), method), data);
        }
    }
    // One base64 line longer than the decoder's 200-byte read-ahead.
    const std::string data = Bytes(1000);
    std::string oneLine = Encoded(data, uuMime);
    std::erase(oneLine, '\r');
    std::erase(oneLine, '\n');
    EXPECT_EQ(Decoded(oneLine, uuMime), data);
}

// A memory stream that counts the transfers it sees.
class CountingStream : public TMemoryStream {
public:
    int32_t Read(void* Buffer, int32_t Count) override {
        Largest = std::max(Largest, Count);
        return TMemoryStream::Read(Buffer, Count);
    }
    int32_t Write(const void* Buffer, int32_t Count) override {
        ++Writes;
        Largest = std::max(Largest, Count);
        return TMemoryStream::Write(Buffer, Count);
    }
    int Writes = 0;
    int32_t Largest = 0;
};

// The way the mail client uses it: the text goes into a memory stream through a buffered stream,
// which passes it on in blocks of at most 32768 bytes.
TEST(Nmuue, WorksThroughBufferedStreams) {
    const std::string data = Bytes(100000);
    for (UUMethods method : {uuMime, uuCode}) {
        SCOPED_TRACE(MethodName(method));
        TMemoryStream source;
        CountingStream text;
        source.Write(data.data(), static_cast<int32_t>(data.size()));
        TNMUUProcessor uu;
        uu.Method = method;
        {
            TS_BufferStream buffered(&text);
            uu.SourceStream = &source;
            uu.TargetStream = &buffered;
            uu.Encode();
            EXPECT_EQ(buffered.GetPosition(), 0);
            EXPECT_EQ(text.Bytes(), Encoded(data, method)) << "all passed on by the rewind";
            EXPECT_EQ(text.Writes, static_cast<int>((text.Bytes().size() + 32767) / 32768));
        }
        TMemoryStream bytes;
        text.SetPosition(0);
        TS_BufferStream buffered(&text);
        uu.SourceStream = &buffered;
        uu.TargetStream = &bytes;
        uu.Decode();
        EXPECT_EQ(bytes.Bytes(), data);
        EXPECT_EQ(text.Largest, 32768);
    }
}

// The processor as first written: reads of 45 bytes and one write per line when encoding; when
// decoding, a read of 200 bytes and a seek back per line and one write per byte. The processor
// must leave both streams as this one does, byte for byte and position for position.
namespace reference {

constexpr char Mime[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char Uu[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

unsigned Value(char C) {
    if (C == '=')
        return 64;
    const char* at = std::strchr(Mime, C);
    return C != '\0' && at != nullptr ? static_cast<unsigned>(at - Mime) : 127;
}

unsigned UuValue(char C) {
    return (static_cast<unsigned char>(C) - 0x20u) & 0x3F;
}

void Put(TStream& Target, unsigned Value) {
    const auto byte = static_cast<uint8_t>(Value);
    Target.WriteBuffer(&byte, 1);
}

void Encode(TStream& Source, TStream& Target, UUMethods Method) {
    const char* table = Method == uuMime ? Mime : Uu;
    Source.SetPosition(0);
    try {
        uint8_t data[45];
        while (Source.GetPosition() < Source.GetSize()) {
            const int32_t n = Source.Read(data, sizeof data);
            if (n == 0)
                break;
            std::string line;
            if (Method == uuCode)
                line += table[n & 63];
            int32_t i = 0;
            for (; i + 3 <= n; i += 3) {
                const unsigned b1 = data[i], b2 = data[i + 1], b3 = data[i + 2];
                line += {table[b1 >> 2], table[((b1 & 3) << 4) | (b2 >> 4)],
                         table[((b2 & 15) << 2) | (b3 >> 6)], table[b3 & 63]};
            }
            if (n - i == 1)
                line += {table[data[i] >> 2], table[(data[i] & 3) << 4]};
            if (n - i == 2)
                line += {table[data[i] >> 2], table[((data[i] & 3) << 4) | (data[i + 1] >> 4)],
                         table[(data[i + 1] & 15) << 2]};
            if (Method == uuMime && n - i != 0)
                line += std::string(3 - static_cast<size_t>(n - i), '=');
            line += "\r\n";
            Target.WriteBuffer(line.data(), static_cast<int32_t>(line.size()));
        }
        if (Method == uuCode)
            Target.WriteBuffer("`\r\n", 3);
    } catch (...) {
        Target.SetPosition(0);
        throw;
    }
    Target.SetPosition(0);
}

std::string ReadLn(TStream& Stream) {
    const int64_t start = Stream.GetPosition();
    char chunk[200];
    const int32_t n = Stream.Read(chunk, sizeof chunk);
    const auto* lf = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(n)));
    if (lf == nullptr) {
        Stream.SetPosition(start + n);
        return std::string(chunk, static_cast<size_t>(n));
    }
    const int32_t k = static_cast<int32_t>(lf - chunk) + 1;
    const int32_t length = k - 1 > 0 && chunk[k - 2] == '\r' ? k - 2 : k - 1;
    Stream.SetPosition(start + k);
    return std::string(chunk, static_cast<size_t>(length));
}

void Base64Decode(TStream& Source, TStream& Target) {
    do {
        const std::string line = ReadLn(Source);
        const size_t length = line.size();
        if (length <= 2 || line.starts_with("===="))
            continue;
        size_t i = 0;
        while (Value(line[i]) >= 64 && i != length - 1) {
            if (line[i] == '\r' || line[i] == '\n' || line[i] == '=')
                return;
            ++i;
        }
        if (i == length - 1)
            continue;
        bool ended = false;
        while (!ended && i + 2 <= length) {
            if (Value(line[i]) == 127) {
                ++i;
                continue;
            }
            const bool hasC3 = i + 2 < length, hasC4 = i + 3 < length;
            const bool padC3 = hasC3 && line[i + 2] == '=';
            const bool padC4 = hasC4 && line[i + 3] == '=';
            const unsigned s1 = Value(line[i]), s2 = Value(line[i + 1]);
            const unsigned s3 = hasC3 ? Value(line[i + 2]) : 0;
            const unsigned s4 = hasC4 ? Value(line[i + 3]) : 0;
            Put(Target, (s1 << 2) | (s2 >> 4));
            if (hasC3 && !padC3)
                Put(Target, (s2 << 4) | (s3 >> 2));
            if (hasC4 && !padC3 && !padC4)
                Put(Target, (s3 << 6) | s4);
            i += hasC4 && !padC3 && !padC4 ? 4 : 3;
            ended = padC3 || padC4;
        }
        if (ended)
            return;
    } while (Source.GetPosition() < Source.GetSize());
}

void StdDecode(TStream& Source, TStream& Target) {
    do {
        const std::string line = ReadLn(Source);
        if (line.size() <= 2)
            continue;
        int n = static_cast<int>(UuValue(line[0]));
        if (n == 0) {
            ReadLn(Source);
            continue;
        }
        const auto value = [&line](size_t k) { return k < line.size() ? UuValue(line[k]) : 0; };
        for (size_t i = 1; n > 0 && i + 2 <= line.size(); i += 4, n -= 3) {
            const int available = static_cast<int>(std::min<size_t>(line.size() - i, 4));
            const int bytes = std::min({n, 3, available - 1});
            Put(Target, (value(i) << 2) | (value(i + 1) >> 4));
            if (bytes >= 2)
                Put(Target, (value(i + 1) << 4) | (value(i + 2) >> 2));
            if (bytes >= 3)
                Put(Target, (value(i + 2) << 6) | value(i + 3));
        }
    } while (Source.GetPosition() < Source.GetSize());
}

void Decode(TStream& Source, TStream& Target, UUMethods Method) {
    if (Method == uuMime)
        Base64Decode(Source, Target);
    else
        StdDecode(Source, Target);
}

} // namespace reference

// A target that takes Room bytes in all and then throws, or refuses when Refuse is set.
class LimitedTarget : public TMemoryStream {
public:
    LimitedTarget(int64_t Room, bool Refuse) : Room(Room), Refuse(Refuse) {}
    int32_t Write(const void* Buffer, int32_t Count) override {
        const auto n = static_cast<int32_t>(std::min<int64_t>(Count, Room));
        Room -= n;
        const int32_t written = TMemoryStream::Write(Buffer, n);
        if (n < Count && !Refuse)
            throw EWriteError("disk full");
        return written;
    }

private:
    int64_t Room;
    bool Refuse;
};

// A source that delivers at most Chunk bytes per read and fails on a read that would deliver
// the byte at FailAt.
class AwkwardSource : public TMemoryStream {
public:
    int32_t Read(void* Buffer, int32_t Count) override {
        const int64_t position = GetPosition();
        if (position <= FailAt && FailAt < std::min(position + Count, GetSize()))
            throw EReadError("bad sector");
        return TMemoryStream::Read(Buffer, std::min(Count, Chunk));
    }
    int32_t Chunk = INT32_MAX;
    int64_t FailAt = INT64_MAX;
};

// How a run left the streams.
struct Outcome {
    std::string Target;
    int64_t TargetPosition;
    int64_t SourcePosition;
    std::string Error;

    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const Outcome& O) {
    return Out << O.Target.size() << " bytes, target at " << O.TargetPosition << ", source at "
               << O.SourcePosition << ", error \"" << O.Error << "\"";
}

// Runs Action(Source, Target) and describes the streams afterwards.
template <typename Run> Outcome Observe(TStream& Source, TMemoryStream& Target, Run Action) {
    Outcome outcome;
    try {
        Action(Source, Target);
    } catch (const Exception& e) {
        outcome.Error = e.Message;
    }
    outcome.Target = Target.Bytes();
    outcome.TargetPosition = Target.GetPosition();
    outcome.SourcePosition = Source.GetPosition();
    return outcome;
}

struct Arrangement {
    std::string Source;
    int64_t Start = 0;          // where the source stands at the call
    int64_t Room = INT64_MAX;   // bytes the target takes
    bool Refuse = false;        // the target refuses (else throws) once full
    int32_t Chunk = INT32_MAX;  // the source's longest read
    int64_t FailAt = INT64_MAX; // the source fails on reads reaching here
    bool Buffered = false;      // the source is read through a buffered stream
};

// The same call by the processor and by the reference, each on streams set up alike.
std::pair<Outcome, Outcome> Both(const Arrangement& S, bool Encode, UUMethods Method) {
    const auto run = [&](bool Reference) {
        AwkwardSource file;
        file.Write(S.Source.data(), static_cast<int32_t>(S.Source.size()));
        file.SetPosition(S.Start);
        file.Chunk = S.Chunk;
        file.FailAt = S.FailAt;
        LimitedTarget target(S.Room, S.Refuse);
        target.TMemoryStream::Write("head", 4);
        std::optional<TS_BufferStream> buffered;
        TStream* source = &file;
        if (S.Buffered)
            source = &buffered.emplace(&file);
        return Observe(*source, target, [&](TStream& Source, TStream& Target) {
            if (Reference) {
                Encode ? reference::Encode(Source, Target, Method)
                       : reference::Decode(Source, Target, Method);
                return;
            }
            TNMUUProcessor uu;
            uu.Method = Method;
            uu.SourceStream = &Source;
            uu.TargetStream = &Target;
            Encode ? uu.Encode() : uu.Decode();
        });
    };
    return {run(false), run(true)};
}

std::string RandomBytes(std::mt19937& Random, size_t Length) {
    std::string s(Length, '\0');
    for (char& c : s)
        c = static_cast<char>(Random());
    return s;
}

TEST(Nmuue, EncodesAsLineByLine) {
    std::mt19937 random(11);
    std::vector<size_t> lengths = {
        0,     1, 44, 45, 46, 89, 90, 91, 45 * 1024 - 1, 45 * 1024, 45 * 1024 + 1, 45 * 2048 + 44,
        200000};
    for (int i = 0; i < 20; ++i)
        lengths.push_back(random() % 100000);
    for (UUMethods method : {uuMime, uuCode}) {
        for (size_t length : lengths) {
            Arrangement s;
            s.Source = RandomBytes(random, length);
            s.Start = static_cast<int64_t>(random() % (length + 1));
            const auto lines = static_cast<int64_t>(length / 45 + 2);
            const std::vector<std::pair<const char*, std::function<void(Arrangement&)>>> variants =
                {
                    {"plain", [](Arrangement&) {}},
                    {"buffered source", [](Arrangement& S) { S.Buffered = true; }},
                    {"target refuses",
                     [&](Arrangement& S) {
                         S.Room = random() % (lines * 63 + 4);
                         S.Refuse = true;
                     }},
                    {"target throws",
                     [&](Arrangement& S) { S.Room = random() % (lines * 63 + 4); }},
                    {"short reads",
                     [&](Arrangement& S) { S.Chunk = static_cast<int32_t>(1 + random() % 100); }},
                    {"failing source", [&](Arrangement& S) { S.FailAt = random() % (length + 1); }},
                };
            for (const auto& [name, vary] : variants) {
                SCOPED_TRACE(::testing::Message()
                             << MethodName(method) << " " << length << " " << name);
                Arrangement variant = s;
                vary(variant);
                const auto [ours, theirs] = Both(variant, true, method);
                ASSERT_EQ(ours, theirs);
            }
        }
    }
}

// Text of odd shapes: base64 and uuencode lines of every length, line ends of LF, CR LF or CR CR
// LF, lines longer than the line reader's 200 bytes, padding, "====", boundaries and noise.
// Without Stops, nothing in it ends base64 decoding early ("=", or a CR before the data).
std::string RandomText(std::mt19937& Random, size_t Length, bool Stops) {
    const auto below = [&Random](size_t n) { return static_cast<size_t>(Random() % n); };
    const std::string mime = reference::Mime;
    const std::string noise = Stops ? "*- \r=." : "*- .";
    std::string text;
    while (text.size() < Length) {
        std::string line;
        switch (below(12)) {
        case 0:
            line = Stops
                       ? std::vector<std::string>{"====", "QQ==", "QUI=", "--=_x", "=",
                                                  "",     "`",    "M",    "end",   "`x"}[below(10)]
                       : std::vector<std::string>{"====", "", "`", "M", "end", "`x"}[below(6)];
            break;
        case 1:
            for (size_t n = below(300); n > 0; --n)
                line += Stops ? static_cast<char>(Random()) : noise[below(noise.size())];
            if (!Stops) // no CR where a window of 200 bytes cuts the line
                line += '\n';
            break;
        case 2: // a uuencode line whose count may not match its length
            for (size_t n = 1 + below(90); n > 0; --n)
                line += static_cast<char>(0x20 + below(0x41));
            if (!Stops)
                std::replace(line.begin(), line.end(), '=', '>');
            break;
        case 3: // a long base64 line
            for (size_t n = 150 + below(300); n > 0; --n)
                line += mime[below(64)];
            break;
        default:
            for (size_t n = below(12) == 0 ? below(80) : 76; n > 0; --n)
                line += mime[below(64)];
            if (below(40) == 0)
                line.insert(below(line.size() + 1), 1, noise[below(noise.size())]);
            break;
        }
        text += line;
        // Lines run together only where "=" may end the decoding.
        text += std::vector<std::string>{"\n", "\r\n", "\r\n", "\r\r\n", ""}[below(Stops ? 5 : 4)];
    }
    return text;
}

TEST(Nmuue, DecodesAsLineByLine) {
    std::mt19937 random(5);
    for (int round = 0; round < 60; ++round) {
        const bool stops = round % 2 == 0;
        const size_t length = round < 30 ? random() % 3000 : 60000 + random() % 150000;
        Arrangement s;
        s.Source = RandomText(random, length, stops);
        s.Start = round % 7 == 0 ? static_cast<int64_t>(s.Source.size() + random() % 3)
                                 : static_cast<int64_t>(random() % 40);
        const auto total = static_cast<int64_t>(s.Source.size());
        const std::vector<std::pair<const char*, std::function<void(Arrangement&)>>> variants = {
            {"plain", [](Arrangement&) {}},
            {"buffered source", [](Arrangement& S) { S.Buffered = true; }},
            {"target refuses",
             [&](Arrangement& S) {
                 S.Room = random() % (total + 4);
                 S.Refuse = true;
             }},
            {"target throws", [&](Arrangement& S) { S.Room = random() % (total + 4); }},
        };
        for (UUMethods method : {uuMime, uuCode}) {
            for (const auto& [name, vary] : variants) {
                SCOPED_TRACE(::testing::Message()
                             << MethodName(method) << " round " << round << " " << name);
                Arrangement variant = s;
                vary(variant);
                const auto [ours, theirs] = Both(variant, false, method);
                ASSERT_EQ(ours, theirs);
                if (!stops && ours.Error.empty() && s.Start < total) {
                    ASSERT_EQ(ours.SourcePosition, total) << "the whole text was read";
                }
            }
        }
    }
    // Clean base64 and uuencode text of many lines, across the reader's blocks.
    for (UUMethods method : {uuMime, uuCode}) {
        Arrangement s;
        s.Source = Encoded(RandomBytes(random, 300000), method);
        const auto [ours, theirs] = Both(s, false, method);
        EXPECT_EQ(ours, theirs);
        EXPECT_EQ(ours.SourcePosition, static_cast<int64_t>(s.Source.size()));
        EXPECT_EQ(ours.Error, "");
    }
}

// Interoperability with coreutils base64, which nobody here wrote.
class CoreutilsBase64 : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/base64", X_OK) != 0)
            GTEST_SKIP() << "/usr/bin/base64 is missing";
    }

    // Runs /usr/bin/base64 with Options on a file holding Input; returns its output.
    static std::string Run(const std::string& Options, const std::string& Input) {
        std::string path = ::testing::TempDir() + "vintrop-codec-XXXXXX";
        const int fd = mkstemp(path.data());
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, Input.data(), Input.size()), static_cast<ssize_t>(Input.size()));
        close(fd);
        std::string output;
        FILE* pipe = popen(("/usr/bin/base64 " + Options + " " + path).c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        char chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
            output.append(chunk, n);
        EXPECT_EQ(pclose(pipe), 0) << "base64 " << Options << " failed";
        unlink(path.c_str());
        return output;
    }

    const std::vector<size_t> Lengths = {0, 1, 2, 3, 45, 46, 57, 1000, 100000};
};

TEST_F(CoreutilsBase64, DecodesOurText) {
    for (size_t n : Lengths) {
        SCOPED_TRACE(n);
        const std::string data = Bytes(n);
        const std::string text = Encoded(data, uuMime);
        // Lines end in CR LF on the wire; a receiver stores them with its own line ends.
        EXPECT_EQ(std::count(text.begin(), text.end(), '\r'),
                  std::count(text.begin(), text.end(), '\n'));
        EXPECT_EQ(Run("-d", WithBareLF(text)), data);
    }
}

TEST_F(CoreutilsBase64, WritesTextWeDecode) {
    for (const char* options : {"", "-w 0"}) {
        for (size_t n : Lengths) {
            SCOPED_TRACE(::testing::Message() << "base64 " << options << ", " << n << " bytes");
            const std::string data = Bytes(n);
            EXPECT_EQ(Decoded(Run(options, data), uuMime), data);
        }
    }
}

} // namespace
