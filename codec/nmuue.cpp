#include "codec/nmuue.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr ExchangeTable TableOf(const char (&Chars)[65]) {
    ExchangeTable table{};
    std::copy_n(Chars, 64, table.begin());
    return table;
}

// Value 0 is the grave accent, values 1 to 63 are the characters 0x21 to 0x5F.
constexpr ExchangeTable UUTABLE =
    TableOf("`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_");

constexpr ExchangeTable MimeTable =
    TableOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");

// The value of each character from '+' (43) to 'z' (122): 0 to 63 for the alphabet, 64 for
// '=', 127 for the others.
constexpr std::array<uint8_t, 80> base64Table = [] {
    std::array<uint8_t, 80> table{};
    table.fill(127);
    table['=' - 43] = 64;
    for (uint8_t value = 0; value < 64; ++value)
        table[static_cast<uint8_t>(MimeTable[value]) - 43] = value;
    return table;
}();

// The base64Table entry of C; characters outside '+' to 'z' count as 127.
constexpr unsigned Base64Value(char C) {
    const auto code = static_cast<unsigned char>(C);
    return code >= 43 && code <= 122 ? base64Table[code - 43] : 127;
}

// Bytes of the source encoded per line.
constexpr int32_t LineBytes = 45;
// The longest line the decoders' line reader returns.
constexpr int32_t MaxLine = 200;

// Base64 decoding of a whole group at once: the value of a character of the alphabet at each
// of the four places, shifted to its bits of the three bytes; any other character sets
// BadGroup.
constexpr uint32_t BadGroup = 0xFF000000;
using GroupTable = std::array<uint32_t, 256>;
constexpr std::array<GroupTable, 4> base64Groups = [] {
    std::array<GroupTable, 4> tables{};
    for (int place = 0; place < 4; ++place) {
        for (int code = 0; code < 256; ++code) {
            const unsigned value = Base64Value(static_cast<char>(code));
            tables[place][code] = value < 64 ? value << (18 - 6 * place) : BadGroup;
        }
    }
    return tables;
}();

// The two characters for each 12-bit value, from an encoding table.
struct CharPairs {
    explicit CharPairs(const ExchangeTable& Table) {
        for (unsigned value = 0; value < 4096; ++value) {
            Pairs[value][0] = Table[value >> 6];
            Pairs[value][1] = Table[value & 63];
        }
    }
    char Pairs[4096][2];
};

// Four characters for each of Groups groups of three bytes.
inline char* EncodeGroups(const uint8_t* Data, int32_t Groups, const CharPairs& Pairs, char* Out) {
    for (int32_t g = 0; g < Groups; ++g, Data += 3, Out += 4) {
        const unsigned group = unsigned{Data[0]} << 16 | unsigned{Data[1]} << 8 | Data[2];
        std::memcpy(Out, Pairs.Pairs[group >> 12], 2);
        std::memcpy(Out + 2, Pairs.Pairs[group & 0xFFF], 2);
    }
    return Out;
}

// The eight bytes at Data as a number, the first byte highest.
inline uint64_t BigEndian64(const uint8_t* Data) {
    uint64_t value;
    std::memcpy(&value, Data, sizeof value);
    if constexpr (std::endian::native == std::endian::little)
        value = __builtin_bswap64(value);
    return value;
}

// The 60 characters of 45 bytes: two groups per step, from one load of eight bytes.
inline char* EncodeWholeLine(const uint8_t* Data, const CharPairs& Pairs, char* Out) {
    for (int step = 0; step < 7; ++step, Data += 6, Out += 8) {
        const uint64_t bits = BigEndian64(Data);
        std::memcpy(Out, Pairs.Pairs[bits >> 52], 2);
        std::memcpy(Out + 2, Pairs.Pairs[(bits >> 40) & 0xFFF], 2);
        std::memcpy(Out + 4, Pairs.Pairs[(bits >> 28) & 0xFFF], 2);
        std::memcpy(Out + 6, Pairs.Pairs[(bits >> 16) & 0xFFF], 2);
    }
    return EncodeGroups(Data, 1, Pairs, Out);
}

// Writes one text line for N bytes of Data (0 to 45) as Encode defines it; returns its length.
int32_t EncodeLine(const uint8_t* Data, int32_t N, UUMethods Method, const ExchangeTable& Table,
                   const CharPairs& Pairs, char* Line) {
    char* out = Line;
    if (Method == uuCode)
        *out++ = Table[N & 63];
    out =
        N == LineBytes ? EncodeWholeLine(Data, Pairs, out) : EncodeGroups(Data, N / 3, Pairs, out);
    const int32_t i = N / 3 * 3;
    if (N - i == 1) {
        const unsigned b1 = Data[i];
        *out++ = Table[b1 >> 2];
        *out++ = Table[(b1 & 3) << 4];
        if (Method == uuMime) {
            *out++ = '=';
            *out++ = '=';
        }
    } else if (N - i == 2) {
        const unsigned b1 = Data[i], b2 = Data[i + 1];
        *out++ = Table[b1 >> 2];
        *out++ = Table[((b1 & 3) << 4) | (b2 >> 4)];
        *out++ = Table[(b2 & 15) << 2];
        if (Method == uuMime)
            *out++ = '=';
    }
    *out++ = '\r';
    *out++ = '\n';
    return static_cast<int32_t>(out - Line);
}

// Moves Stream to Position while an error of another stream is on its way out; a failure here
// must not replace that error.
void PutBackTo(TStream& Stream, int64_t Position) noexcept {
    try {
        Stream.SetPosition(Position);
    } catch (...) {
    }
}

// Writes the bytes the decoders would write one by one: the target may take them in several
// calls, and a call that takes none fails as the write of that single byte would.
void WriteBytes(TStream& Target, const uint8_t* Data, int32_t Count) {
    while (Count > 0) {
        const int32_t n = Target.Write(Data, Count);
        if (n <= 0 || n > Count)
            throw EWriteError("Stream write error");
        Data += n;
        Count -= n;
    }
}

// The decoders' line reader. A line is the bytes before the first LF among the next 200 of the
// stream, without that LF and a CR before it; with no LF among them, it is those 200 bytes
// (fewer at the end). Position is the place just after the line. The stream is read in blocks
// of 64 KiB instead of 200 bytes and a seek back per line, so it stands further on until
// Restore moves it to Position.
class TLineReader {
public:
    explicit TLineReader(TStream& Stream)
        : Stream(Stream), Block(new char[BlockSize]), Position(Stream.GetPosition()),
          BlockStart(Position) {}

    std::string_view Next() {
        int32_t offset = static_cast<int32_t>(Position - BlockStart);
        if (Length - offset < MaxLine) {
            std::memmove(Block.get(), Block.get() + offset, static_cast<size_t>(Length - offset));
            BlockStart = Position;
            Length -= offset;
            offset = 0;
            const int32_t n = Stream.Read(Block.get() + Length, BlockSize - Length);
            if (n > 0)
                Length += std::min(n, BlockSize - Length);
        }
        const char* line = Block.get() + offset;
        const int32_t available = std::min(MaxLine, Length - offset);
        Empty = available == 0;
        const auto* lf =
            static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(available)));
        if (lf == nullptr) {
            Position += available;
            return {line, static_cast<size_t>(available)};
        }
        size_t length = static_cast<size_t>(lf - line);
        Position += static_cast<int64_t>(length) + 1;
        if (length > 0 && line[length - 1] == '\r')
            --length;
        return {line, length};
    }

    // Whether lines remain. The stream's size is taken once, after the first line; a stream
    // that delivers nothing more ends the lines even if its size says otherwise.
    bool More() {
        if (!SizeKnown) {
            Size = Stream.GetSize();
            SizeKnown = true;
        }
        return !Empty && Position < Size;
    }

    void Restore() { Stream.SetPosition(Position); }
    void RestoreQuietly() noexcept { PutBackTo(Stream, Position); }

private:
    static constexpr int32_t BlockSize = 65536;

    TStream& Stream;
    std::unique_ptr<char[]> Block;
    int64_t Position;   // just after the last line
    int64_t BlockStart; // the stream offset of Block[0]
    int32_t Length = 0; // the bytes in Block; the stream stands at BlockStart + Length
    bool Empty = false; // the last line came from no bytes at all
    int64_t Size = 0;
    bool SizeKnown = false;
};

// The bytes of one base64 line, and whether the decoding ends after it.
struct Decoded {
    int32_t Count = 0;
    bool Stop = false;
};

// Decodes one line by the rules of Base64Decode into Out (at least 3/4 of the line's length).
Decoded DecodeBase64Line(std::string_view Line, uint8_t* Out) {
    const size_t length = Line.size();
    // Most lines are whole groups of the alphabet alone; they give three bytes per group.
    if (length > 2 && length % 4 == 0) {
        uint32_t bad = 0;
        uint8_t* out = Out;
        for (size_t i = 0; i < length; i += 4, out += 3) {
            const uint32_t group = base64Groups[0][static_cast<uint8_t>(Line[i])] |
                                   base64Groups[1][static_cast<uint8_t>(Line[i + 1])] |
                                   base64Groups[2][static_cast<uint8_t>(Line[i + 2])] |
                                   base64Groups[3][static_cast<uint8_t>(Line[i + 3])];
            bad |= group;
            out[0] = static_cast<uint8_t>(group >> 16);
            out[1] = static_cast<uint8_t>(group >> 8);
            out[2] = static_cast<uint8_t>(group);
        }
        if ((bad & BadGroup) == 0)
            return {static_cast<int32_t>(out - Out), false};
    }

    Decoded result;
    if (length <= 2 || Line.starts_with("===="))
        return result;
    // Skip what precedes the data; a line end or "=" there ends the whole decoding.
    size_t i = 0;
    while (Base64Value(Line[i]) >= 64 && i != length - 1) {
        if (Line[i] == '\r' || Line[i] == '\n' || Line[i] == '=') {
            result.Stop = true;
            return result;
        }
        ++i;
    }
    if (i == length - 1)
        return result;
    // A group ends where the line ends; "=" in it ends the data, and what follows the group on
    // the line is not decoded.
    const auto put = [&](unsigned Value) { Out[result.Count++] = static_cast<uint8_t>(Value); };
    while (!result.Stop && i + 2 <= length) {
        if (Base64Value(Line[i]) == 127) {
            ++i;
            continue;
        }
        const bool hasC3 = i + 2 < length;
        const bool hasC4 = i + 3 < length;
        const bool padC3 = hasC3 && Line[i + 2] == '=';
        const bool padC4 = hasC4 && Line[i + 3] == '=';
        const unsigned s1 = Base64Value(Line[i]);
        const unsigned s2 = Base64Value(Line[i + 1]);
        const unsigned s3 = hasC3 ? Base64Value(Line[i + 2]) : 0;
        const unsigned s4 = hasC4 ? Base64Value(Line[i + 3]) : 0;
        put((s1 << 2) | (s2 >> 4));
        if (hasC3 && !padC3)
            put((s2 << 4) | (s3 >> 2));
        if (hasC4 && !padC3 && !padC4) {
            put((s3 << 6) | s4);
            i += 4;
        } else {
            i += 3;
        }
        result.Stop = padC3 || padC4;
    }
    return result;
}

unsigned UuValue(char C) {
    return (static_cast<unsigned char>(C) - 0x20u) & 0x3F;
}

// Decodes the data of one uuencode line whose count character gives N (not 0) into Out (at
// least 3/4 of the line's length); returns the number of bytes.
int32_t DecodeUuLine(std::string_view Line, int N, uint8_t* Out) {
    uint8_t* out = Out;
    size_t i = 1;
    // Whole groups of four characters for three bytes each.
    for (; N >= 3 && i + 4 <= Line.size(); i += 4, N -= 3, out += 3) {
        const unsigned s1 = UuValue(Line[i]), s2 = UuValue(Line[i + 1]);
        const unsigned s3 = UuValue(Line[i + 2]), s4 = UuValue(Line[i + 3]);
        out[0] = static_cast<uint8_t>((s1 << 2) | (s2 >> 4));
        out[1] = static_cast<uint8_t>((s2 << 4) | (s3 >> 2));
        out[2] = static_cast<uint8_t>((s3 << 6) | s4);
    }
    // The last group: fewer bytes than three, or cut by the line's end. A line shorter than its
    // count gives only the bytes its characters carry.
    const auto value = [&Line](size_t k) -> unsigned {
        return k < Line.size() ? UuValue(Line[k]) : 0;
    };
    for (; N > 0 && i + 2 <= Line.size(); i += 4, N -= 3) {
        const int available = static_cast<int>(std::min<size_t>(Line.size() - i, 4));
        const int bytes = std::min({N, 3, available - 1});
        const unsigned s1 = value(i), s2 = value(i + 1), s3 = value(i + 2), s4 = value(i + 3);
        *out++ = static_cast<uint8_t>((s1 << 2) | (s2 >> 4));
        if (bytes >= 2)
            *out++ = static_cast<uint8_t>((s2 << 4) | (s3 >> 2));
        if (bytes >= 3)
            *out++ = static_cast<uint8_t>((s3 << 6) | s4);
    }
    return static_cast<int32_t>(out - Out);
}

} // namespace

TNMUUProcessor::TNMUUProcessor(TComponent* AOwner) : TComponent(AOwner), Method(uuMime) {}

void TNMUUProcessor::Encode() {
    SourceStream->SetPosition(0);
    if (OnBeginEncode)
        OnBeginEncode(this);
    const auto endEncode = [this] {
        TargetStream->SetPosition(0);
        if (OnEndEncode)
            OnEndEncode(this);
    };
    try {
        SetEncodeTable();
        EncodeLines();
    } catch (...) {
        endEncode();
        throw;
    }
    endEncode();
}

// Reads the source in blocks of whole lines, but writes each line with a write of its own and
// cuts the lines where reads of 45 bytes would cut them, so that the target and both positions
// end up as with reads of 45 bytes; a failed write leaves the source just after its line.
void TNMUUProcessor::EncodeLines() {
    TStream& source = *SourceStream;
    TStream& target = *TargetStream;
    const auto pairs = std::make_unique<CharPairs>(EncodeTable);
    constexpr int32_t BlockSize = LineBytes * 1024;
    const auto block = std::make_unique<uint8_t[]>(BlockSize);
    char line[1 + LineBytes / 3 * 4 + 2]; // count character, characters, CR LF

    int64_t position = source.GetPosition();
    const int64_t size = source.GetSize();
    bool lineByLine = false;
    while (position < size) {
        const auto wanted = static_cast<int32_t>(std::min<int64_t>(BlockSize, size - position));
        int32_t n = -1;
        try {
            n = source.Read(block.get(), wanted);
        } catch (...) {
        }
        if (n != wanted) {
            // The stream delivered less than its size promised, or failed: read it again from
            // the start of the block 45 bytes at a time, which cuts the lines, and meets any
            // failure, where those reads would.
            source.SetPosition(position);
            lineByLine = true;
            break;
        }
        for (int32_t offset = 0; offset < n; offset += LineBytes) {
            const int32_t count = std::min(LineBytes, n - offset);
            const int32_t length =
                EncodeLine(block.get() + offset, count, Method, EncodeTable, *pairs, line);
            try {
                target.WriteBuffer(line, length);
            } catch (...) {
                PutBackTo(source, position + offset + count);
                throw;
            }
        }
        position += n;
    }
    if (lineByLine) {
        while (source.GetPosition() < source.GetSize()) {
            const int32_t n = std::min(source.Read(block.get(), LineBytes), LineBytes);
            // A source that delivers less than its size announces would never end otherwise.
            if (n <= 0)
                break;
            const int32_t length = EncodeLine(block.get(), n, Method, EncodeTable, *pairs, line);
            target.WriteBuffer(line, length);
        }
    }
    if (Method == uuCode) {
        const char closing[] = {EncodeTable[0], '\r', '\n'};
        target.WriteBuffer(closing, sizeof closing);
    }
}

void TNMUUProcessor::Decode() {
    if (OnBeginDecode)
        OnBeginDecode(this);
    if (Method == uuMime)
        Base64Decode();
    else
        StdDecode();
    if (OnEndDecode)
        OnEndDecode(this);
}

void TNMUUProcessor::SetEncodeTable() {
    EncodeTable = Method == uuMime ? MimeTable : UUTABLE;
}

uint8_t TNMUUProcessor::UuDEC(char C) {
    return static_cast<uint8_t>(UuValue(C));
}

// Both decoders write the bytes of a line with one write and leave the source where reading
// line by line would have left it, also when a stream fails.
void TNMUUProcessor::Base64Decode() {
    TLineReader reader(*SourceStream);
    uint8_t bytes[MaxLine];
    try {
        do {
            const Decoded line = DecodeBase64Line(reader.Next(), bytes);
            WriteBytes(*TargetStream, bytes, line.Count);
            if (line.Stop)
                break;
        } while (reader.More());
    } catch (...) {
        reader.RestoreQuietly();
        throw;
    }
    reader.Restore();
}

void TNMUUProcessor::StdDecode() {
    TLineReader reader(*SourceStream);
    uint8_t bytes[MaxLine];
    try {
        do {
            const std::string_view line = reader.Next();
            if (line.size() <= 2)
                continue;
            const int n = UuDEC(line[0]);
            if (n == 0) {
                reader.Next();
                continue;
            }
            WriteBytes(*TargetStream, bytes, DecodeUuLine(line, n, bytes));
        } while (reader.More());
    } catch (...) {
        reader.RestoreQuietly();
        throw;
    }
    reader.Restore();
}
