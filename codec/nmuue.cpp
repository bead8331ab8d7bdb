#include "codec/nmuue.h"

#include <algorithm>
#include <cstring>

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
unsigned Base64Value(char C) {
    const auto code = static_cast<unsigned char>(C);
    return code >= 43 && code <= 122 ? base64Table[code - 43] : 127;
}

void WriteByte(TStream& Target, unsigned Value) {
    const auto byte = static_cast<uint8_t>(Value & 0xFF);
    Target.WriteBuffer(&byte, 1);
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
        uint8_t data[45];
        std::string line;
        while (SourceStream->GetPosition() < SourceStream->GetSize()) {
            const int32_t n = SourceStream->Read(data, sizeof data);
            // A source that delivers less than its size announces would never end otherwise.
            if (n == 0)
                break;
            line.clear();
            if (Method == uuCode)
                line += EncodeTable[n & 63];
            int32_t i = 0;
            for (; i + 3 <= n; i += 3) {
                const unsigned b1 = data[i], b2 = data[i + 1], b3 = data[i + 2];
                line += EncodeTable[b1 >> 2];
                line += EncodeTable[((b1 & 3) << 4) | (b2 >> 4)];
                line += EncodeTable[((b2 & 15) << 2) | (b3 >> 6)];
                line += EncodeTable[b3 & 63];
            }
            if (n - i == 1) {
                const unsigned b1 = data[i];
                line += EncodeTable[b1 >> 2];
                line += EncodeTable[(b1 & 3) << 4];
                if (Method == uuMime)
                    line += "==";
            } else if (n - i == 2) {
                const unsigned b1 = data[i], b2 = data[i + 1];
                line += EncodeTable[b1 >> 2];
                line += EncodeTable[((b1 & 3) << 4) | (b2 >> 4)];
                line += EncodeTable[(b2 & 15) << 2];
                if (Method == uuMime)
                    line += '=';
            }
            line += "\r\n";
            TargetStream->WriteBuffer(line.data(), static_cast<int32_t>(line.size()));
        }
        if (Method == uuCode) {
            const std::string closing = {EncodeTable[0], '\r', '\n'};
            TargetStream->WriteBuffer(closing.data(), static_cast<int32_t>(closing.size()));
        }
    } catch (...) {
        endEncode();
        throw;
    }
    endEncode();
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
    return static_cast<uint8_t>((static_cast<unsigned char>(C) - 0x20) & 0x3F);
}

void TNMUUProcessor::Base64Decode() {
    std::string line;
    do {
        ReadLnFromStream(*SourceStream, line);
        const size_t length = line.size();
        if (length <= 2 || line.starts_with("===="))
            continue;
        // Skip what precedes the data; a line end or "=" there ends the whole decoding.
        size_t i = 0;
        while (Base64Value(line[i]) >= 64 && i != length - 1) {
            if (line[i] == '\r' || line[i] == '\n' || line[i] == '=')
                return;
            ++i;
        }
        if (i == length - 1)
            continue;
        // A group ends where the line ends; "=" in it ends the data, and what follows the group
        // on the line is not decoded.
        bool dataEnded = false;
        while (!dataEnded && i + 2 <= length) {
            if (Base64Value(line[i]) == 127) {
                ++i;
                continue;
            }
            const bool hasC3 = i + 2 < length;
            const bool hasC4 = i + 3 < length;
            const bool padC3 = hasC3 && line[i + 2] == '=';
            const bool padC4 = hasC4 && line[i + 3] == '=';
            const unsigned s1 = Base64Value(line[i]);
            const unsigned s2 = Base64Value(line[i + 1]);
            const unsigned s3 = hasC3 ? Base64Value(line[i + 2]) : 0;
            const unsigned s4 = hasC4 ? Base64Value(line[i + 3]) : 0;
            WriteByte(*TargetStream, (s1 << 2) | (s2 >> 4));
            if (hasC3 && !padC3)
                WriteByte(*TargetStream, (s2 << 4) | (s3 >> 2));
            if (hasC4 && !padC3 && !padC4) {
                WriteByte(*TargetStream, (s3 << 6) | s4);
                i += 4;
            } else {
                i += 3;
            }
            dataEnded = padC3 || padC4;
        }
        if (dataEnded)
            return;
    } while (SourceStream->GetPosition() < SourceStream->GetSize());
}

void TNMUUProcessor::StdDecode() {
    std::string line;
    do {
        ReadLnFromStream(*SourceStream, line);
        if (line.size() <= 2)
            continue;
        int n = UuDEC(line[0]);
        if (n == 0) {
            ReadLnFromStream(*SourceStream, line);
            continue;
        }
        // A line shorter than its count gives only the bytes its characters carry.
        const auto value = [&line](size_t k) -> unsigned {
            return k < line.size() ? UuDEC(line[k]) : 0;
        };
        for (size_t i = 1; n > 0 && i + 2 <= line.size(); i += 4, n -= 3) {
            const int available = static_cast<int>(std::min<size_t>(line.size() - i, 4));
            const int bytes = std::min({n, 3, available - 1});
            const unsigned s1 = value(i), s2 = value(i + 1), s3 = value(i + 2), s4 = value(i + 3);
            WriteByte(*TargetStream, (s1 << 2) | (s2 >> 4));
            if (bytes >= 2)
                WriteByte(*TargetStream, (s2 << 4) | (s3 >> 2));
            if (bytes >= 3)
                WriteByte(*TargetStream, (s3 << 6) | s4);
        }
    } while (SourceStream->GetPosition() < SourceStream->GetSize());
}

void TNMUUProcessor::ReadLnFromStream(TStream& Stream, std::string& Line) {
    const int64_t start = Stream.GetPosition();
    char chunk[200];
    const int32_t n = Stream.Read(chunk, sizeof chunk);
    const auto* lf = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(n)));
    if (lf != nullptr) {
        // Drop the LF, and the CR before it where there is one.
        const int32_t k = static_cast<int32_t>(lf - chunk) + 1;
        int32_t length = k - 1;
        if (length > 0 && chunk[length - 1] == '\r')
            --length;
        Line.assign(chunk, static_cast<size_t>(length));
        Stream.SetPosition(start + k);
    } else {
        // A line longer than the chunk, or a last line without LF: the line is what was read, so
        // that every byte is taken once and the position never passes the end of the source.
        Line.assign(chunk, static_cast<size_t>(n));
        Stream.SetPosition(start + n);
    }
}
