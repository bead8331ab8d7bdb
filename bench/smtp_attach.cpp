// Sends one message with a file attached (MIME multipart, the file in base64) in one SMTP
// session, and reports the session's time, processor time and peak memory.
//   smtp_attach --host H --port P --helo S --from A --to R --attach FILE
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <sys/resource.h>

#include "mail/nmsmtp.h"

namespace {

// Processor time (user + system) of the process so far, and its peak resident size.
double CpuSeconds(long& MaxRssKib) {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    MaxRssKib = r.ru_maxrss;
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// An error text without the line end a server's reply line brings along.
std::string Trimmed(std::string Text) {
    while (!Text.empty() && (Text.back() == '\r' || Text.back() == '\n'))
        Text.pop_back();
    return Text;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::map<std::string, std::string> opt;
    for (int i = 1; i + 1 < argc; i += 2)
        opt[argv[i]] = argv[i + 1];
    for (const char* name : {"--host", "--port", "--helo", "--from", "--to", "--attach"})
        if (!opt.count(name)) {
            std::fprintf(stderr,
                         "usage: %s --host H --port P --helo S --from A --to R --attach FILE\n",
                         argv[0]);
            return 2;
        }

    try {
        TNMSMTP smtp;
        smtp.Host = opt["--host"];
        smtp.Port = StrToInt(opt["--port"]);
        smtp.UserID = opt["--helo"];
        smtp.TimeOut = 30000;
        smtp.EncodeType = uuMime;
        smtp.PostMessage.FromAddress = opt["--from"];
        smtp.PostMessage.ToAddress.Add(opt["--to"]);
        smtp.PostMessage.Subject = "attachment";
        smtp.PostMessage.Body.Add("The file is attached.");
        smtp.PostMessage.Attachments.Add(opt["--attach"]);
        smtp.OnRecipientNotFound = [&](const std::string& Recipient) {
            throw Exception("Recipient refused: " + Recipient + ": " + smtp.LastReply);
        };

        long maxRss = 0;
        const double cpu0 = CpuSeconds(maxRss);
        const auto wall0 = std::chrono::steady_clock::now();
        smtp.Connect();
        smtp.SendMail();
        if (smtp.ReplyCode / 100 != 2)
            throw Exception("Message not accepted: " + smtp.LastReply);
        smtp.Disconnect();
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall0;
        const double cpu = CpuSeconds(maxRss) - cpu0;
        std::fprintf(stderr, "inloop n=1 wall_s=%.6f cpu_s=%.6f maxrss_kib=%ld\n", wall.count(),
                     cpu, maxRss);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smtp_attach: %s\n", Trimmed(e.what()).c_str());
        return 1;
    }
    return 0;
}
