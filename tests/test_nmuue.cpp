#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
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

// The way the mail client uses it: the text goes into a memory stream through a buffered stream.
TEST(Nmuue, WorksThroughBufferedStreams) {
    const std::string data = Bytes(100000);
    for (UUMethods method : {uuMime, uuCode}) {
        SCOPED_TRACE(MethodName(method));
        TMemoryStream source;
        TMemoryStream text;
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
        }
        TMemoryStream bytes;
        text.SetPosition(0);
        TS_BufferStream buffered(&text);
        uu.SourceStream = &buffered;
        uu.TargetStream = &bytes;
        uu.Decode();
        EXPECT_EQ(bytes.Bytes(), data);
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
