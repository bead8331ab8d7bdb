// ReadExtraLines over a socket pair: replies read as the SMTP client reads them, a first line
// and then its continuation lines; the input is everything the server sends before it closes.
#include <cstdint>
#include <string>

#include "fuzzpeer.h"
#include "mail/nmsmtp.h"

using namespace fuzz;

namespace {

bool Continues(const std::string& R) {
    return !R.empty() && (R[0] == ' ' || (R.size() >= 4 && R[3] == '-'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    TPeer peer(Data, Size);
    {
        TOnPair<TNMSMTP> smtp(peer.Local);
        size_t pos = 0;
        bool ended = false;
        while (!ended) {
            // What this reply should give, by the input and the client's cap of 10,000 lines
            // or 1 MiB.
            TExpected e = NextLine(input, pos);
            bool tooLong = e.Kind == TExpected::TooLong;
            bool endless = false;
            std::string last = e.Text;
            size_t lines = 1, bytes = last.size();
            while (!tooLong && Continues(last)) {
                e = NextLine(input, pos);
                tooLong = e.Kind == TExpected::TooLong;
                if (tooLong)
                    break;
                last = e.Text;
                bytes += last.size();
                if (++lines > 10000 || bytes > (1u << 20)) {
                    endless = true;
                    break;
                }
            }
            ended = last.empty() && !tooLong;
            try {
                std::string reply = smtp.ReadLn();
                smtp.ReadExtraLines(reply);
                Check(!tooLong && !endless, "a reply was taken that should have failed");
                Check(!Continues(reply), "the reply ends on a continuation line", reply);
                Check(reply == last, "not the last line of the reply", reply);
            } catch (const EAbortError& e) {
                Fail("aborted:", e.Message);
            } catch (const ESockError& e) {
                Check(tooLong, "raised:", e.Message);
            } catch (const Exception& e) {
                Check(endless, "raised:", e.Message);
                break; // the client gives up on such a server
            }
        }
    }
    peer.Finish();
    Check(peer.Received().empty(), "something was sent");
    return 0;
}
