// TS_BufferStream driven by a sequence of operations and checked after each against a memory
// stream. Input: the block size (1 to 64, or the default), the length of the wrapped stream's
// first contents, then operations of an opcode byte and its arguments.
#include <cstdint>
#include <map>
#include <string>

#include "codec/nms_stream.h"
#include "fuzzpeer.h"

using namespace fuzz;

namespace {

// Opens the block's state to the checks.
class TProbe : public TS_BufferStream {
public:
    using TS_BufferStream::TS_BufferStream;
    bool CanPutBack() const {
        return Cursor != nullptr && Cursor > BufferStart && BufferState != bsUnknown;
    }
    TS_BufferState State() const { return BufferState; }
};

// The input as a source of arguments; zeros once it is used up.
struct TArgs {
    const uint8_t* Data;
    size_t Size;
    size_t At = 0;
    bool More() const { return At < Size; }
    uint8_t Byte() { return At < Size ? Data[At++] : 0; }
};

// The model: the memory stream holds what the wrapped stream would hold with every held byte
// passed on, and stands at the logical position. Characters put back after reads are kept
// apart, by position, until they are read again or the block is given up.
struct TModel {
    TMemoryStream Stream;
    std::map<int64_t, char> PutBack;
    int64_t Pos() { return Stream.GetPosition(); }
    int64_t Size() { return Stream.GetSize(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TArgs in{Data, Size};
    const uint8_t blockChoice = in.Byte();
    const int32_t blockSize = blockChoice == 255 ? 32768 : blockChoice % 64 + 1;
    const int initial = in.Byte();

    TMemoryStream wrapped;
    TModel model;
    for (int i = 0; i < initial; ++i) {
        const char c = static_cast<char>(i * 31 + 7);
        wrapped.WriteBuffer(&c, 1);
        model.Stream.WriteBuffer(&c, 1);
    }
    wrapped.SetPosition(0);
    model.Stream.SetPosition(0);

    const int32_t savedSize = BufferSize;
    BufferSize = blockSize;
    {
        TProbe stream(&wrapped);
        BufferSize = savedSize;
        for (int step = 0; in.More() && step < 1000; ++step) {
            const std::string where = "step " + std::to_string(step);
            const int op = in.Byte() % 9;
            switch (op) {
            case 0: { // Read
                const int32_t count = in.Byte();
                std::string got(static_cast<size_t>(count), '\0');
                const int32_t n = stream.Read(got.data(), count);
                std::string want(static_cast<size_t>(count), '\0');
                const int64_t from = model.Pos();
                const int32_t m = model.Stream.Read(want.data(), count);
                for (int32_t k = 0; k < m; ++k)
                    if (const auto it = model.PutBack.find(from + k); it != model.PutBack.end())
                        want[static_cast<size_t>(k)] = it->second;
                model.PutBack.erase(model.PutBack.begin(), model.PutBack.lower_bound(from + m));
                Check(n == m, "Read count", where);
                got.resize(static_cast<size_t>(n));
                want.resize(static_cast<size_t>(m));
                Check(got == want, "Read bytes", where);
                break;
            }
            case 1: { // Write
                const int32_t count = in.Byte();
                std::string bytes;
                for (int32_t k = 0; k < count; ++k)
                    bytes += static_cast<char>(in.Byte());
                Check(stream.Write(bytes.data(), count) == count, "Write count", where);
                model.Stream.WriteBuffer(bytes.data(), count);
                model.PutBack.clear();
                break;
            }
            case 2:
            case 3:
            case 4: { // Seek from the beginning, the current position or back from the end
                const int origin = op - 2;
                const int64_t offset = static_cast<int8_t>(in.Byte());
                const int64_t before = model.Pos();
                const int64_t got = stream.Seek(offset, origin);
                const int64_t want =
                    model.Stream.Seek(origin == soFromEnd ? -offset : offset, origin);
                Check(got == want, "Seek result",
                      where + ": " + std::to_string(got) + " / " + std::to_string(want));
                // Any seek that aims elsewhere gives the block up, also one that ends at 0 again.
                const int64_t aim = origin == soFromBeginning ? offset
                                    : origin == soFromCurrent ? before + offset
                                                              : model.Size() - offset;
                if (aim != before)
                    model.PutBack.clear();
                break;
            }
            case 5: { // PutBack
                const char c = static_cast<char>(in.Byte());
                const bool can = stream.CanPutBack();
                const TS_BufferState state = stream.State();
                try {
                    stream.PutBack(c);
                    Check(can, "PutBack took a byte without one before the cursor", where);
                } catch (const EStreamError& e) {
                    Check(!can && e.Message == "PutBack overflow", "PutBack raised", where);
                    break;
                }
                if (state == bsRead) {
                    model.Stream.Seek(-1, soFromCurrent);
                    model.PutBack[model.Pos()] = c;
                } else if (state == bsWrite) {
                    model.Stream.Seek(-1, soFromCurrent);
                    model.Stream.WriteBuffer(&c, 1);
                } else {
                    Fail("PutBack took a byte that no read will deliver", where);
                }
                break;
            }
            case 6: { // Size
                const int64_t before = model.Pos();
                Check(stream.GetSize() == model.Size(), "Size", where);
                if (before != model.Size())
                    model.PutBack.clear();
                break;
            }
            case 7: // End of the stream
                if (stream.IsEof())
                    Check(model.Pos() == model.Size() && model.PutBack.empty(), "IsEof", where);
                break;
            case 8: { // An origin that does not exist changes nothing
                const int origin = 3 + in.Byte() % 4;
                try {
                    stream.Seek(0, origin);
                    Fail("Seek took an invalid origin", where);
                } catch (const Exception& e) {
                    Check(e.Message == "Invalid seek origin = " + std::to_string(origin),
                          "Seek origin message", where);
                }
                break;
            }
            }
            Check(stream.GetPosition() == model.Pos(), "Position", where);
        }
    }
    Check(wrapped.Bytes() == model.Stream.Bytes(), "the wrapped stream's contents");
    return 0;
}
