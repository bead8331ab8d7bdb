// Both decoders of TNMUUProcessor. Input: a flag byte (bit 0: uuencode instead of base64; bit 1:
// encode the rest of the input and decode it back; bit 2: read the source through a buffered
// stream), a start byte (where decoding begins, as a share of the text), then the text.
// Decoding any text from any position must end, stay within the source and give what a plain
// statement of the decoding rules gives; a round trip must give back the bytes.
#include <cstdint>
#include <memory>
#include <string>

#include "codec/nms_stream.h"
#include "codec/nmuue.h"
#include "fuzzpeer.h"

using namespace fuzz;

namespace {

// The plain rules: a line is the bytes before the first LF among the next 200 (its CR dropped),
// or those 200 bytes, fewer at the end; the position moves past what the line took.
struct TRef {
    const std::string& Text;
    size_t Pos;
    std::string Out;

    std::string Line() {
        const std::string chunk = Pos < Text.size() ? Text.substr(Pos, 200) : "";
        const size_t lf = chunk.find('\n');
        if (lf == std::string::npos) {
            Pos += chunk.size();
            return chunk;
        }
        Pos += lf + 1;
        std::string line = chunk.substr(0, lf);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
    bool More() const { return Pos < Text.size(); }
    void Put(unsigned V) { Out += static_cast<char>(V & 0xFF); }

    static unsigned B64(char C) {
        static const std::string alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if (C == '=')
            return 64;
        const size_t at = alphabet.find(C);
        return at == std::string::npos ? 127 : static_cast<unsigned>(at);
    }
    static unsigned Uu(char C) { return (static_cast<unsigned char>(C) - 0x20u) & 0x3F; }

    void Base64() {
        do {
            const std::string line = Line();
            const size_t n = line.size();
            if (n <= 2 || line.starts_with("===="))
                continue;
            size_t i = 0;
            for (; B64(line[i]) >= 64 && i != n - 1; ++i)
                if (line[i] == '\r' || line[i] == '\n' || line[i] == '=')
                    return;
            if (i == n - 1)
                continue;
            bool stop = false;
            while (!stop && i + 2 <= n) {
                if (B64(line[i]) == 127) {
                    ++i;
                    continue;
                }
                const bool has3 = i + 2 < n, has4 = i + 3 < n;
                const bool pad3 = has3 && line[i + 2] == '=', pad4 = has4 && line[i + 3] == '=';
                const unsigned s1 = B64(line[i]), s2 = B64(line[i + 1]);
                const unsigned s3 = has3 ? B64(line[i + 2]) : 0, s4 = has4 ? B64(line[i + 3]) : 0;
                Put(s1 << 2 | s2 >> 4);
                if (has3 && !pad3)
                    Put(s2 << 4 | s3 >> 2);
                if (has4 && !pad3 && !pad4) {
                    Put(s3 << 6 | s4);
                    i += 4;
                } else {
                    i += 3;
                }
                stop = pad3 || pad4;
            }
            if (stop)
                return;
        } while (More());
    }

    void UuCode() {
        do {
            const std::string line = Line();
            if (line.size() <= 2)
                continue;
            int n = static_cast<int>(Uu(line[0]));
            if (n == 0) {
                Line();
                continue;
            }
            // Each group of up to four characters; a group cut by the line's end gives the bytes
            // its characters carry.
            for (size_t i = 1; n > 0 && i + 2 <= line.size(); i += 4, n -= 3) {
                const size_t have = std::min<size_t>(line.size() - i, 4);
                const int bytes = std::min({n, 3, static_cast<int>(have) - 1});
                const auto s = [&](size_t k) { return k < line.size() ? Uu(line[k]) : 0u; };
                Put(s(i) << 2 | s(i + 1) >> 4);
                if (bytes >= 2)
                    Put(s(i + 1) << 4 | s(i + 2) >> 2);
                if (bytes >= 3)
                    Put(s(i + 2) << 6 | s(i + 3));
            }
        } while (More());
    }
};

std::string Decode(UUMethods Method, const std::string& Text, int64_t Start, bool Buffered,
                   int64_t& End) {
    TMemoryStream source, target;
    source.WriteBuffer(Text.data(), static_cast<int32_t>(Text.size()));
    source.SetPosition(Start);
    std::unique_ptr<TS_BufferStream> buffered;
    if (Buffered)
        buffered = std::make_unique<TS_BufferStream>(&source);
    TNMUUProcessor processor;
    processor.Method = Method;
    processor.SourceStream = Buffered ? static_cast<TStream*>(buffered.get()) : &source;
    processor.TargetStream = &target;
    processor.Decode();
    End = processor.SourceStream->GetPosition();
    return target.Bytes();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 2)
        return 0;
    const UUMethods method = Data[0] & 1 ? uuCode : uuMime;
    const bool roundTrip = Data[0] & 2;
    const bool buffered = Data[0] & 4;
    const std::string text(reinterpret_cast<const char*>(Data) + 2, Size - 2);

    if (roundTrip) {
        TMemoryStream source, encoded;
        source.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
        TNMUUProcessor processor;
        processor.Method = method;
        processor.SourceStream = &source;
        processor.TargetStream = &encoded;
        processor.Encode();
        Check(encoded.GetPosition() == 0, "Encode left the target away from 0");
        int64_t end = 0;
        const std::string decoded = Decode(method, encoded.Bytes(), 0, buffered, end);
        Check(decoded == text, "the round trip changed the bytes");
        return 0;
    }

    // Any start from 0 to one past the end.
    const int64_t start = static_cast<int64_t>(Data[1] * (text.size() + 2) / 256);
    int64_t end = 0;
    const std::string decoded = Decode(method, text, start, buffered, end);
    TRef ref{text, static_cast<size_t>(start), {}};
    if (method == uuMime)
        ref.Base64();
    else
        ref.UuCode();
    Check(end >= start, "the source moved back");
    Check(end <= std::max<int64_t>(start, static_cast<int64_t>(text.size())),
          "the source stands past its end");
    Check(end == static_cast<int64_t>(ref.Pos), "the source stands elsewhere than the rules say",
          std::to_string(end) + " / " + std::to_string(ref.Pos));
    Check(decoded == ref.Out, "the bytes differ from the rules");
    return 0;
}
