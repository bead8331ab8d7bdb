#include "platform/classes.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/codepage.h"

int64_t TStream::GetSize() {
    const int64_t pos = Seek(0, soFromCurrent);
    const int64_t size = Seek(0, soFromEnd);
    Seek(pos, soFromBeginning);
    return size;
}

void TStream::ReadBuffer(void* Buffer, int32_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count)
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int32_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count)
        throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.GetSize();
    }
    const int64_t total = Count;
    std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(Count, 65536)) + 1);
    while (Count > 0) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(Count, 65536));
        Source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        Count -= n;
    }
    return total;
}

int32_t TMemoryStream::Read(void* Buffer, int32_t Count) {
    if (Count <= 0 || Pos >= static_cast<int64_t>(Data.size()))
        return 0;
    const int32_t n =
        static_cast<int32_t>(std::min<int64_t>(Count, static_cast<int64_t>(Data.size()) - Pos));
    std::memcpy(Buffer, Data.data() + Pos, static_cast<size_t>(n));
    Pos += n;
    return n;
}

int32_t TMemoryStream::Write(const void* Buffer, int32_t Count) {
    if (Count <= 0)
        return 0;
    // Appending at the end needs no zero-filled room first.
    if (Pos == static_cast<int64_t>(Data.size())) {
        Data.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
    } else {
        if (Pos + Count > static_cast<int64_t>(Data.size()))
            Data.resize(static_cast<size_t>(Pos + Count));
        std::memcpy(Data.data() + Pos, Buffer, static_cast<size_t>(Count));
    }
    Pos += Count;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, int Origin) {
    switch (Origin) {
    case soFromBeginning:
        Pos = Offset;
        break;
    case soFromCurrent:
        Pos += Offset;
        break;
    case soFromEnd:
        Pos = static_cast<int64_t>(Data.size()) + Offset;
        break;
    }
    if (Pos < 0)
        Pos = 0;
    return Pos;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    Data.resize(static_cast<size_t>(std::max<int64_t>(NewSize, 0)));
    Pos = std::min<int64_t>(Pos, static_cast<int64_t>(Data.size()));
}

void TMemoryStream::Clear() {
    Data.clear();
    Pos = 0;
}

TFileStream::TFileStream(const std::string& FileName, unsigned Mode) {
    if (Mode == fmCreate) {
        Fd = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (Fd < 0)
            throw EFCreateError("Cannot create file " + FileName);
        return;
    }
    const int access = (Mode & 3) == fmOpenWrite       ? O_WRONLY
                       : (Mode & 3) == fmOpenReadWrite ? O_RDWR
                                                       : O_RDONLY;
    Fd = ::open(FileName.c_str(), access | O_CLOEXEC);
    if (Fd < 0)
        throw EFOpenError("Cannot open file " + FileName);
}

TFileStream::~TFileStream() {
    if (Fd >= 0)
        ::close(Fd);
}

int32_t TFileStream::Read(void* Buffer, int32_t Count) {
    if (Count <= 0)
        return 0;
    ssize_t n;
    do
        n = ::read(Fd, Buffer, static_cast<size_t>(Count));
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw EReadError("Stream read error: " + std::string(std::strerror(errno)));
    return static_cast<int32_t>(n);
}

int32_t TFileStream::Write(const void* Buffer, int32_t Count) {
    if (Count <= 0)
        return 0;
    ssize_t n;
    do
        n = ::write(Fd, Buffer, static_cast<size_t>(Count));
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : static_cast<int32_t>(n);
}

int64_t TFileStream::Seek(int64_t Offset, int Origin) {
    const int whence = Origin == soFromCurrent ? SEEK_CUR
                       : Origin == soFromEnd   ? SEEK_END
                                               : SEEK_SET;
    const off_t pos = ::lseek(Fd, static_cast<off_t>(Offset), whence);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

void TFileStream::SetSize(int64_t NewSize) {
    if (::ftruncate(Fd, static_cast<off_t>(NewSize)) != 0)
        throw EStreamError("Stream size error: " + std::string(std::strerror(errno)));
}

const std::string& TStringList::Strings(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EStreamError("List index out of bounds (" + IntToStr(Index) + ")");
    return Lines[static_cast<size_t>(Index)];
}

void TStringList::Put(int Index, const std::string& S) {
    Strings(Index);
    Lines[static_cast<size_t>(Index)] = S;
}

int TStringList::Add(const std::string& S) {
    if (!Sorted) {
        Lines.push_back(S);
        return Count() - 1;
    }
    const auto at = std::upper_bound(
        Lines.begin(), Lines.end(), S,
        [](const std::string& a, const std::string& b) { return AnsiCompareText(a, b) < 0; });
    return static_cast<int>(Lines.insert(at, S) - Lines.begin());
}

void TStringList::Insert(int Index, const std::string& S) {
    if (Index < 0 || Index > Count())
        throw EStreamError("List index out of bounds (" + IntToStr(Index) + ")");
    Lines.insert(Lines.begin() + Index, S);
}

void TStringList::Delete(int Index) {
    Strings(Index);
    Lines.erase(Lines.begin() + Index);
}

std::string TStringList::Text() const {
    std::string text;
    for (const auto& line : Lines)
        text += line + "\r\n";
    return text;
}

void TStringList::SetText(const std::string& Text) {
    Lines.clear();
    size_t start = 0;
    while (start < Text.size()) {
        const size_t end = FindLineBreak(Text, start);
        if (end == std::string::npos) {
            Lines.push_back(Text.substr(start));
            break;
        }
        Lines.push_back(Text.substr(start, end - start));
        start = end + 1;
        if (Text[end] == '\r' && start < Text.size() && Text[start] == '\n')
            ++start;
    }
}

int TStringList::IndexOf(const std::string& S) const {
    for (int i = 0; i < Count(); ++i)
        if (AnsiCompareText(Lines[static_cast<size_t>(i)], S) == 0)
            return i;
    return -1;
}

int AnsiCompareText(const std::string& A, const std::string& B) {
    const size_t common = std::min(A.size(), B.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char a = Win1251::LowerByte(static_cast<unsigned char>(A[i]));
        const unsigned char b = Win1251::LowerByte(static_cast<unsigned char>(B[i]));
        if (a != b)
            return a < b ? -1 : 1;
    }
    return A.size() < B.size() ? -1 : A.size() > B.size() ? 1 : 0;
}

size_t FindLineBreak(const std::string& Text, size_t Start) {
    if (Start >= Text.size())
        return std::string::npos;
    const char* begin = Text.data() + Start;
    const char* end = Text.data() + Text.size();
    // Two scans of the whole text, each for one byte, are far cheaper than one scan that looks
    // for either byte at each position.
    const auto* cr = static_cast<const char*>(std::memchr(begin, '\r', end - begin));
    const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', (cr ? cr : end) - begin));
    const char* first = lf ? lf : cr;
    return first ? static_cast<size_t>(first - Text.data()) : std::string::npos;
}
