#include "platform/codepage.h"

#include <QChar>
#include <array>
#include <iconv.h>
#include <unordered_map>

namespace {

// The code page's table, read from the C library once.
struct Table {
    std::array<char32_t, 256> ToUcs{};
    std::unordered_map<char32_t, unsigned char> FromUcs;
    std::array<unsigned char, 256> Lower{}; // the lower-case letter of each byte
    bool Loaded = false;

    Table() {
        iconv_t cd = iconv_open("UTF-32LE", "WINDOWS-1251");
        Loaded = cd != reinterpret_cast<iconv_t>(-1);
        for (int b = 0; b < 256; ++b) {
            char in = static_cast<char>(b);
            char out[4] = {};
            char* inp = &in;
            char* outp = out;
            size_t inLeft = 1, outLeft = 4;
            char32_t ucs = static_cast<char32_t>(b); // the one unassigned byte keeps its value
            if (cd != reinterpret_cast<iconv_t>(-1) &&
                iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1))
                ucs = static_cast<unsigned char>(out[0]) |
                      static_cast<char32_t>(static_cast<unsigned char>(out[1])) << 8 |
                      static_cast<char32_t>(static_cast<unsigned char>(out[2])) << 16;
            ToUcs[static_cast<size_t>(b)] = ucs;
            FromUcs.emplace(ucs, static_cast<unsigned char>(b));
        }
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
        // A letter whose lower case the code page lacks stays as it is.
        for (int b = 0; b < 256; ++b) {
            const auto it = FromUcs.find(QChar::toLower(ToUcs[static_cast<size_t>(b)]));
            Lower[static_cast<size_t>(b)] =
                it != FromUcs.end() ? it->second : static_cast<unsigned char>(b);
        }
    }
};

const Table& table() {
    static const Table t;
    return t;
}

} // namespace

namespace Win1251 {

QString ToUnicode(const std::string& Bytes) {
    const Table& t = table();
    std::u32string ucs;
    ucs.reserve(Bytes.size());
    for (unsigned char b : Bytes)
        ucs.push_back(t.ToUcs[b]);
    return QString::fromStdU32String(ucs);
}

std::string FromUnicode(const QString& Text, bool* Exact) {
    const Table& t = table();
    std::string bytes;
    bytes.reserve(static_cast<size_t>(Text.size()));
    for (char32_t c : Text.toStdU32String()) {
        const auto it = t.FromUcs.find(c);
        if (it != t.FromUcs.end()) {
            bytes.push_back(static_cast<char>(it->second));
        } else {
            bytes.push_back('?');
            if (Exact)
                *Exact = false;
        }
    }
    return bytes;
}

bool Available() {
    return table().Loaded;
}

bool CanEncode(const QString& Text) {
    bool exact = true;
    FromUnicode(Text, &exact);
    return exact;
}

unsigned char LowerByte(unsigned char Byte) {
    return table().Lower[Byte];
}

} // namespace Win1251
