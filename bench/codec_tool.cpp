// codec_tool encode|decode base64|uu FILE
//
// Encodes FILE to base64 (uuMime) or uuencode (uuCode) text on standard output, or decodes such
// text in FILE to bytes on standard output, through TNMUUProcessor and the streams the mail
// client uses: a file stream as the source, a buffered stream over a file stream as the target.
// The text is written with LF line ends, as text files are stored here, so that base64 -d and
// uudecode read it; uuencode text gets the "begin"/"end" lines those tools expect. When decoding
// uuencode, the data lines between the "begin" line and the "end" line are decoded.
// Prints "inloop n=<bytes> wall_s=.. cpu_s=.. maxrss_kib=.." on standard error, timing the
// Encode or Decode call alone.
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

#include "bench/benchutil.h"
#include "codec/nms_stream.h"
#include "codec/nmuue.h"

namespace {

// The buffered stream the output goes through. With DropCR, the CR of a CR LF that ends a write
// is left out: the encoder writes one line per call, and its alphabets contain no CR.
class TOutputStream : public TS_BufferStream {
public:
    TOutputStream(TStream* Stream, bool DropCR) : TS_BufferStream(Stream), DropCR(DropCR) {}

    int32_t Write(const void* Buffer, int32_t Count) override {
        const char* bytes = static_cast<const char*>(Buffer);
        if (!DropCR || Count < 2 || bytes[Count - 2] != '\r' || bytes[Count - 1] != '\n')
            return TS_BufferStream::Write(Buffer, Count);
        const int32_t taken = TS_BufferStream::Write(bytes, Count - 2);
        if (taken != Count - 2)
            return taken;
        return TS_BufferStream::Write("\n", 1) == 1 ? Count : Count - 2;
    }

    // Passes held bytes on; false when the file took fewer than offered.
    bool Finish() { return BufferState != bsWrite || FlushBuffer(); }

private:
    bool DropCR;
};

// A file stream that ends at End: reads stop there and the size is End.
class TFileHead : public TFileStream {
public:
    TFileHead(const std::string& FileName, int64_t End)
        : TFileStream(FileName, fmOpenRead), End(End) {}

    int32_t Read(void* Buffer, int32_t Count) override {
        const int64_t room = End - TFileStream::Seek(0, soFromCurrent);
        if (room < Count)
            Count = room > 0 ? static_cast<int32_t>(room) : 0;
        return TFileStream::Read(Buffer, Count);
    }
    int64_t Seek(int64_t Offset, int Origin) override {
        if (Origin == soFromEnd)
            return TFileStream::Seek(End + Offset, soFromBeginning);
        return TFileStream::Seek(Offset, Origin);
    }

private:
    int64_t End;
};

// Bytes From to From + Count of Stream, fewer at its end.
std::string ReadAt(TStream& Stream, int64_t From, int64_t Count) {
    Stream.SetPosition(From);
    std::string s(static_cast<size_t>(Count), '\0');
    s.resize(static_cast<size_t>(Stream.Read(s.data(), static_cast<int32_t>(Count))));
    return s;
}

// Returns the offset of the line after the first "begin " line of uuencode text and the offset
// of the last line that holds only "end"; raises Exception when either is missing.
std::pair<int64_t, int64_t> UuencodeData(const std::string& FileName) {
    TFileStream file(FileName, fmOpenRead);
    const int64_t size = file.GetSize();

    int64_t start = -1;
    int64_t lineStart = 0;
    std::string text;
    while (start < 0) {
        const std::string chunk =
            ReadAt(file, lineStart + static_cast<int64_t>(text.size()), 65536);
        if (chunk.empty())
            throw Exception("No \"begin\" line in " + FileName);
        text += chunk;
        size_t line = 0;
        for (size_t lf; start < 0 && (lf = text.find('\n', line)) != std::string::npos;
             line = lf + 1) {
            if (text.compare(line, 6, "begin ") == 0)
                start = lineStart + static_cast<int64_t>(lf) + 1;
        }
        lineStart += static_cast<int64_t>(line);
        text.erase(0, line);
    }

    // The tail may begin inside a line; that line is skipped unless it is the first data line.
    const int64_t tailFrom = std::max(start, size - 4096);
    const std::string tail = ReadAt(file, tailFrom, size - tailFrom);
    int64_t end = -1;
    size_t line = 0;
    if (tailFrom > start)
        line = tail.find('\n') == std::string::npos ? tail.size() : tail.find('\n') + 1;
    while (line < tail.size()) {
        size_t lf = tail.find('\n', line);
        if (lf == std::string::npos)
            lf = tail.size();
        std::string_view content(tail.data() + line, lf - line);
        while (!content.empty() && (content.back() == '\r' || content.back() == ' '))
            content.remove_suffix(1);
        if (content == "end")
            end = tailFrom + static_cast<int64_t>(line);
        line = lf + 1;
    }
    if (end < 0)
        throw Exception("No \"end\" line in " + FileName);
    return {start, end};
}

int Run(bool Encode, UUMethods Method, const std::string& FileName) {
    // Standard output opened anew as a file stream, where standard output stands (at its end if
    // it appends).
    TFileStream stdoutFile("/dev/stdout", fmOpenWrite);
    if ((fcntl(STDOUT_FILENO, F_GETFL) & O_APPEND) != 0)
        stdoutFile.Seek(0, soFromEnd);
    else if (const off_t offset = lseek(STDOUT_FILENO, 0, SEEK_CUR); offset > 0)
        stdoutFile.SetPosition(offset);
    TOutputStream output(&stdoutFile, Encode);

    std::unique_ptr<TFileStream> source;
    if (!Encode && Method == uuCode) {
        const auto [start, end] = UuencodeData(FileName);
        source = std::make_unique<TFileHead>(FileName, end);
        source->SetPosition(start);
    } else {
        source = std::make_unique<TFileStream>(FileName, fmOpenRead);
    }
    TNMUUProcessor processor;
    processor.Method = Method;
    processor.SourceStream = source.get();
    processor.TargetStream = &output;

    const long long size = TFileStream(FileName, fmOpenRead).GetSize();
    TInloopClock clock;
    if (Encode) {
        if (Method == uuCode) {
            const std::string name = FileName.substr(FileName.find_last_of('/') + 1);
            const std::string begin = "begin 644 " + name + "\n";
            output.WriteBuffer(begin.data(), static_cast<int32_t>(begin.size()));
        }
        processor.Encode();
        // The encoder leaves the target at position 0; anything more goes after the text.
        output.Seek(0, soFromEnd);
        if (Method == uuCode)
            output.WriteBuffer("end\n", 4);
    } else {
        processor.Decode();
    }
    if (!output.Finish()) {
        std::fprintf(stderr, "codec_tool: write error on standard output\n");
        return 1;
    }
    clock.Report(size);
    // Whoever writes to standard output next continues after the text.
    lseek(STDOUT_FILENO, stdoutFile.Seek(0, soFromCurrent), SEEK_SET);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string usage = "usage: codec_tool encode|decode base64|uu FILE\n";
    if (argc != 4) {
        std::fputs(usage.c_str(), stderr);
        return 2;
    }
    const std::string direction = argv[1], format = argv[2];
    if ((direction != "encode" && direction != "decode") ||
        (format != "base64" && format != "uu")) {
        std::fputs(usage.c_str(), stderr);
        return 2;
    }
    try {
        return Run(direction == "encode", format == "base64" ? uuMime : uuCode, argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "codec_tool: %s\n", e.what());
        return 1;
    }
}
