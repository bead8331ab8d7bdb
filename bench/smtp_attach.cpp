// Sends one message with a file attached (MIME multipart, the file in base64) in one SMTP
// session, and reports the session's time, processor time and peak memory.
//   smtp_attach --host H --port P --helo S --from A --to R --attach FILE
#include <QCoreApplication>
#include <cstdio>
#include <map>
#include <string>

#include "bench/benchutil.h"
#include "mail/nmsmtp.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::map<std::string, std::string> opt;
    if (!ParseOptions(argc, argv, {"--host", "--port", "--helo", "--from", "--to", "--attach"},
                      "--host H --port P --helo S --from A --to R --attach FILE", opt))
        return 2;

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

        TInloopClock clock;
        smtp.Connect();
        smtp.SendMail();
        if (smtp.ReplyCode / 100 != 2)
            throw Exception("Message not accepted: " + smtp.LastReply);
        smtp.Disconnect();
        clock.Report(1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smtp_attach: %s\n", Trimmed(e.what()).c_str());
        return 1;
    }
    return 0;
}
