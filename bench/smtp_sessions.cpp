// Sends one message N times, each in a complete SMTP session of its own (connect, greeting,
// HELO, the mail, QUIT) through one client object, and reports the loop's time and processor
// time.
//   smtp_sessions --host H --port P --count N --helo S --from A --to R --message FILE
// The body of FILE (the lines after its first empty line) goes out under the client's own
// header. Exits 0 only if every message was accepted.
#include <QCoreApplication>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "bench/benchutil.h"
#include "mail/nmsmtp.h"

namespace {

std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    if (!in)
        throw Exception("Cannot open file " + Path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text after the first empty line; the whole text when there is none.
std::string BodyOf(const std::string& Message) {
    for (size_t at = 0; at < Message.size();) {
        const size_t end = Message.find('\n', at);
        if (end == std::string::npos)
            break;
        if (end == at || (end == at + 1 && Message[at] == '\r'))
            return Message.substr(end + 1);
        at = end + 1;
    }
    return Message;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::map<std::string, std::string> opt;
    if (!ParseOptions(argc, argv,
                      {"--host", "--port", "--count", "--helo", "--from", "--to", "--message"},
                      "--host H --port P --count N --helo S --from A --to R --message FILE", opt))
        return 2;

    int count = 0;
    try {
        TNMSMTP smtp;
        smtp.Host = opt["--host"];
        smtp.Port = StrToInt(opt["--port"]);
        smtp.UserID = opt["--helo"];
        smtp.TimeOut = 30000;
        smtp.PostMessage.FromAddress = opt["--from"];
        smtp.PostMessage.Subject = "sms";
        smtp.PostMessage.Body.SetText(BodyOf(ReadFile(opt["--message"])));
        smtp.OnRecipientNotFound = [&](const std::string& Recipient) {
            throw Exception("Recipient refused: " + Recipient + ": " + smtp.LastReply);
        };
        const int total = StrToInt(opt["--count"]);

        TInloopClock clock;
        for (; count < total; ++count) {
            // The client empties the recipient list after each accepted mail.
            smtp.PostMessage.ToAddress.Clear();
            smtp.PostMessage.ToAddress.Add(opt["--to"]);
            smtp.Connect();
            smtp.SendMail();
            if (smtp.ReplyCode / 100 != 2)
                throw Exception("Message not accepted: " + smtp.LastReply);
            smtp.Disconnect();
        }
        clock.Report(count);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smtp_sessions: message %d: %s\n", count + 1,
                     Trimmed(e.what()).c_str());
        return 1;
    }
    return 0;
}
