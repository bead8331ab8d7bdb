// Transaction over a socket pair: each call sends a command and reads one reply line; the
// input is everything the server answers before it closes.
#include <cstdint>
#include <string>

#include "fuzzpeer.h"

using namespace fuzz;

namespace {

// The reply code by the rule of Transaction: up to ten leading digits, held at 32767.
int16_t ExpectedCode(const std::string& Line) {
    uint64_t value = 0;
    size_t digits = 0;
    while (digits < Line.size() && digits < 10 && Line[digits] >= '0' && Line[digits] <= '9')
        value = value * 10 + static_cast<uint64_t>(Line[digits++] - '0');
    return static_cast<int16_t>(value > 32767 ? 32767 : value);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    TPeer peer(Data, Size);
    size_t commands = 0;
    {
        TOnPair<TPowersock> sock(peer.Local);
        size_t pos = 0;
        for (;;) {
            const TExpected expected = NextLine(input, pos);
            std::string reply;
            ++commands;
            try {
                reply = sock.Transaction("NOOP");
            } catch (const EAbortError& e) {
                Fail("Transaction aborted:", e.Message);
            } catch (const ESockError& e) {
                if (expected.Kind == TExpected::End) {
                    // Once the server's close has been handled the socket is closed on this
                    // side too, and the command cannot go out.
                    --commands;
                    break;
                }
                Check(expected.Kind == TExpected::TooLong, "Transaction raised:", e.Message);
                continue;
            }
            Check(expected.Kind != TExpected::TooLong, "a line beyond 65537 bytes was returned");
            Check(reply == expected.Text, "not the next line of the input");
            Check(reply == sock.LastReply, "LastReply is not the reply");
            Check(sock.ReplyCode >= 0, "negative reply code");
            Check(sock.ReplyCode == ExpectedCode(reply), "wrong reply code", reply);
            if (reply.empty())
                break;
        }
    }
    peer.Finish();
    std::string sent;
    for (size_t i = 0; i < commands; ++i)
        sent += "NOOP\r\n";
    Check(peer.Received() == sent, "the commands did not go out as sent",
          std::to_string(commands) + " commands, " + std::to_string(peer.Received().size()) +
              " bytes received");
    return 0;
}
