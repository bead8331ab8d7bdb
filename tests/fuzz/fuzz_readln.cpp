// ReadLn over a socket pair: the input is everything the server sends before it closes.
#include <cstdint>
#include <string>

#include "fuzzpeer.h"

using namespace fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    TPeer peer(Data, Size);
    {
        TOnPair<TPowersock> sock(peer.Local);
        size_t pos = 0;
        for (;;) {
            const TExpected expected = NextLine(input, pos);
            std::string line;
            try {
                line = sock.ReadLn();
            } catch (const EAbortError& e) {
                Fail("ReadLn aborted:", e.Message);
            } catch (const ESockError& e) {
                Check(expected.Kind == TExpected::TooLong, "ReadLn raised:", e.Message);
                continue;
            }
            Check(expected.Kind != TExpected::TooLong, "a line beyond 65537 bytes was returned");
            Check(line.size() <= MaxLine, "line longer than 65537 bytes");
            Check(line.empty() || line.back() == '\n', "line without LF");
            Check(line == expected.Text, "not the next line of the input");
            if (line.empty())
                break;
        }
    }
    peer.Finish();
    Check(peer.Received().empty(), "ReadLn sent something");
    return 0;
}
