// Components, events, streams and string lists.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/sysutils.h"

class TObject {
public:
    virtual ~TObject() = default;
};

// A component is owned by whoever created it; Owner is kept only for reference.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner = nullptr) : Owner(AOwner) {}
    TComponent* Owner;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

enum : int { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// A byte stream. Position and Size are built on Seek.
class TStream : public TObject {
public:
    // Reads up to Count bytes; returns the number read.
    virtual int32_t Read(void* Buffer, int32_t Count) = 0;
    // Writes up to Count bytes; returns the number written.
    virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
    // Moves to Offset from the beginning (0), the current position (1) or the end (2); returns
    // the new position.
    virtual int64_t Seek(int64_t Offset, int Origin) = 0;
    // Sets the size; streams that cannot change their size ignore it.
    virtual void SetSize(int64_t NewSize) { (void)NewSize; }

    int64_t GetPosition() { return Seek(0, soFromCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, soFromBeginning); }
    int64_t GetSize();

    // Read or write exactly Count bytes; raise EReadError/EWriteError otherwise.
    void ReadBuffer(void* Buffer, int32_t Count);
    void WriteBuffer(const void* Buffer, int32_t Count);
    // Copies Count bytes from Source (the whole of Source from its start when Count is 0).
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

// A stream held in memory.
class TMemoryStream : public TStream {
public:
    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, int Origin) override;
    void SetSize(int64_t NewSize) override;
    void Clear();
    const char* Memory() const { return Data.data(); }
    const std::string& Bytes() const { return Data; }

private:
    std::string Data;
    int64_t Pos = 0;
};

enum : unsigned {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmCreate = 0xFFFF,
};

// A stream over a file. Raises EFOpenError "Cannot open file <name>" or EFCreateError
// "Cannot create file <name>" when the file cannot be opened.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& FileName, unsigned Mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, int Origin) override;
    void SetSize(int64_t NewSize) override;

private:
    int Fd = -1;
};

// Ordered lines of text. Text() gives every line followed by CR LF.
class TStringList : public TObject {
public:
    virtual ~TStringList() = default;
    int Count() const { return static_cast<int>(Lines.size()); }
    const std::string& Strings(int Index) const;
    void Put(int Index, const std::string& S);
    int Add(const std::string& S);
    void Insert(int Index, const std::string& S);
    void Delete(int Index);
    void Clear() { Lines.clear(); }
    void Assign(const TStringList& Source) { Lines = Source.Lines; }
    std::string Text() const;
    // Replaces the lines by those of Text, split at CR LF, LF or CR.
    void SetText(const std::string& Text);

    // When set, Add inserts in order (case-insensitive) and IndexOf searches by halves.
    bool Sorted = false;
    int IndexOf(const std::string& S) const;

protected:
    std::vector<std::string> Lines;
};

// Case-insensitive comparison of single-byte text, as the string list sorts.
int AnsiCompareText(const std::string& A, const std::string& B);

// The position of the first CR or LF in Text at or after Start, or npos.
size_t FindLineBreak(const std::string& Text, size_t Start = 0);
