#include "mail/nmsmtp.h"

#include <random>

#include "codec/nms_stream.h"

namespace {

// A reply that runs on past this many lines is taken as a broken server.
constexpr int MaxReplyLines = 10000;
constexpr size_t MaxReplyBytes = 1 << 20;

// The reply code at the start of Line, by the rule Transaction uses.
int16_t CodeOf(const std::string& Line) {
    size_t digits = 0;
    while (digits < Line.size() && digits < 10 && Line[digits] >= '0' && Line[digits] <= '9')
        ++digits;
    if (digits == 0)
        return 0;
    int32_t value = 0;
    if (!TryStrToInt(Line.substr(0, digits), value))
        return INT16_MAX;
    return static_cast<int16_t>(std::min<int32_t>(value, INT16_MAX));
}

std::string JoinLines(const TStringList& List) {
    std::string joined;
    for (int i = 0; i < List.Count(); ++i)
        joined += (i > 0 ? "," : "") + List.Strings(i);
    return joined;
}

// A header line may hold a line break only as a fold: CR LF followed by a blank or a tab. A NUL
// would end the header where it stands.
bool IsSafeHeaderLine(const std::string& Line) {
    for (size_t i = 0; i < Line.size(); ++i) {
        if (Line[i] == '\n' || Line[i] == '\0')
            return false;
        if (Line[i] == '\r') {
            if (i + 2 >= Line.size() || Line[i + 1] != '\n' ||
                (Line[i + 2] != ' ' && Line[i + 2] != '\t'))
                return false;
            i += 1;
        }
    }
    return true;
}

// The text after the last "/", "\" or ":" of a path.
std::string FileNameOf(const std::string& Path) {
    const size_t cut = Path.find_last_of("/\\:");
    return cut == std::string::npos ? Path : Path.substr(cut + 1);
}

// Thrown when the server has closed the connection in the middle of the dialogue.
class EServerClosed : public Exception {
public:
    EServerClosed() : Exception("Connection closed by server") {}
};

} // namespace

void CheckCommandText(const std::string& What, const std::string& Text) {
    if (FindLineBreak(Text) != std::string::npos)
        throw Exception("The " + What + " holds a line break and cannot be sent: " + Text);
    const size_t nul = Text.find('\0');
    if (nul != std::string::npos)
        throw Exception("The " + What +
                        " holds a NUL character and cannot be sent: " + Text.substr(0, nul));
}

TNMSMTP::TNMSMTP(TComponent* AOwner) : TPowersock(AOwner) {
    Port = 25;
}

TNMSMTP::~TNMSMTP() = default;

void TNMSMTP::CheckReplyReceived(const std::string& Reply) {
    if (Reply.empty())
        throw EServerClosed();
    if (CodeOf(Reply) == 0)
        throw Exception("Unexpected reply from server: " + Reply);
}

void TNMSMTP::ReadExtraLines(std::string& Reply) {
    const auto continues = [](const std::string& R) {
        return !R.empty() && (R[0] == ' ' || (R.size() >= 4 && R[3] == '-'));
    };
    int lines = 1;
    size_t bytes = Reply.size();
    while (continues(Reply)) {
        Reply = ReadLn();
        bytes += Reply.size();
        if (++lines > MaxReplyLines || bytes > MaxReplyBytes)
            throw Exception("The server's reply does not end (more than " +
                            IntToStr(MaxReplyLines) + " lines or 1 MiB)");
    }
}

void TNMSMTP::Exchange(const std::string& Command) {
    Transaction(Command);
    std::string reply = LastReply;
    ReadExtraLines(reply);
    CheckReplyReceived(reply);
}

std::string TNMSMTP::ExtractAddress(const std::string& Line) {
    if (Line.find('<') != std::string::npos)
        return NthWord(NthWord(Line, '<', 2), '>', 1);
    if (Line.find(':') != std::string::npos)
        return NthWord(Line, ':', 2);
    return Line;
}

void TNMSMTP::Connect() {
    const bool setBusy = !Busy;
    if (setBusy)
        Busy = true;
    bool succeeded = false;
    try {
        CheckCommandText("user ID", UserID);
        TPowersock::Connect();
        try {
            std::string greeting = ReadLn();
            ReadExtraLines(greeting);
            CheckReplyReceived(greeting);
            ReplyCode = CodeOf(greeting);
            if (ReplyCode >= 400)
                throw Exception(greeting);

            for (int retry = 0;; ++retry) {
                Exchange("HELO " + UserID);
                if (ReplyCode < 300)
                    break;
                if (retry > 0 || !OnAuthenticationFailed)
                    throw Exception("Authentication failed");
                bool handled = false;
                OnAuthenticationFailed(handled);
                if (!handled)
                    throw Exception("Authentication failed");
            }
            succeeded = true;
        } catch (const EServerClosed&) {
            // Nothing listens any more: close without the closing exchange.
            if (Connected)
                TPowersock::Disconnect();
            throw;
        } catch (const EAbortError&) {
            // A cancel or a time-out: the server does not answer, so waiting for the reply
            // to QUIT could last for ever.
            if (Connected)
                TPowersock::Disconnect();
            throw;
        } catch (...) {
            Disconnect();
            throw;
        }
    } catch (...) {
        if (setBusy)
            Busy = false;
        throw;
    }
    if (setBusy)
        Busy = false;
    if (succeeded && OnConnect)
        OnConnect(this);
}

void TNMSMTP::Disconnect() {
    Canceled = false;
    std::exception_ptr failure;
    try {
        Transaction("QUIT");
    } catch (...) {
        failure = std::current_exception();
    }
    TPowersock::Disconnect();
    if (failure)
        std::rethrow_exception(failure);
    if (ReplyCode >= 340)
        throw Exception(LastReply);
}

void TNMSMTP::Abort() {
    TPowersock::Abort();
}

void TNMSMTP::ClearParameters() {
    PostMessage.ToAddress.Clear();
    PostMessage.ToCarbonCopy.Clear();
    PostMessage.ToBlindCarbonCopy.Clear();
    PostMessage.Attachments.Clear();
}

void TNMSMTP::SendMail() {
    if (Busy)
        return;
    Busy = true;
    bool accepted = false;
    try {
        AssembleMail();
        CertifyConnect();

        for (bool checkedOnce = false;; checkedOnce = true) {
            const TPostMessage& m = PostMessage;
            if (!m.FromAddress.empty() && (m.ToAddress.Count() > 0 || m.ToCarbonCopy.Count() > 0 ||
                                           m.ToBlindCarbonCopy.Count() > 0))
                break;
            if (checkedOnce || !OnHeaderIncomplete)
                throw Exception("Incomplete Header");
            bool handled = false;
            OnHeaderIncomplete(handled, m.FromAddress.empty() ? 1 : 2);
            if (!handled)
                throw Exception("Incomplete Header");
        }

        TStringList* const recipientLists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy,
                                               &PostMessage.ToBlindCarbonCopy};
        CheckCommandText("return address", PostMessage.FromAddress);
        // The character set also stands in the head of the text part of a message with
        // attachments, where no header line check sees it.
        CheckCommandText("character set", Charset);
        for (const TStringList* list : recipientLists)
            for (int i = 0; i < list->Count(); ++i)
                CheckCommandText("recipient address", ExtractAddress(list->Strings(i)));

        if (OnSendStart)
            OnSendStart(this);
        for (int i = 0; i < FinalHeader.Count(); ++i)
            if (!IsSafeHeaderLine(FinalHeader.Strings(i)))
                throw Exception("A header line holds a line break or a NUL and cannot be sent: " +
                                FinalHeader.Strings(i));

        Exchange("RSET");
        if (ReplyCode >= 400)
            throw Exception(LastReply);

        Exchange("MAIL FROM:<" + PostMessage.FromAddress + ">");
        if (ReplyCode >= 400)
            throw Exception(LastReply);

        for (const TStringList* list : recipientLists) {
            for (int i = 0; i < list->Count(); ++i) {
                const std::string line = list->Strings(i);
                const std::string address = ExtractAddress(line);
                if (address.empty())
                    continue;
                CheckCommandText("recipient address", address);
                Exchange("RCPT TO:<" + address + ">");
                if (ReplyCode > 300 && OnRecipientNotFound)
                    OnRecipientNotFound(line);
            }
        }

        Exchange("DATA");
        if (ReplyCode >= 400)
            throw Exception(LastReply);

        std::string header;
        for (int i = 0; i < FinalHeader.Count(); ++i)
            header += FinalHeader.Strings(i) + "\r\n";
        // Header and body wait in the socket for the end-of-data line, so that a short
        // message leaves in one packet rather than three.
        MoreToFollow = true;
        try {
            Write(header + "\r\n\r\n");
            SendStream(MessageStream);
        } catch (...) {
            MoreToFollow = false;
            throw;
        }
        MoreToFollow = false;

        Exchange(".");
        if (ReplyCode >= 400) {
            if (OnFailure)
                OnFailure(this);
            throw Exception(LastReply);
        }
        accepted = true;
        if (ClearParams)
            ClearParameters();
    } catch (const EServerClosed&) {
        // The server has gone: our side of the connection is closed too.
        Busy = false;
        if (Connected)
            TPowersock::Disconnect();
        throw;
    } catch (...) {
        Busy = false;
        throw;
    }
    Busy = false;
    if (accepted && OnSuccess)
        OnSuccess(this);
}

void TNMSMTP::WriteLine(const std::string& Line) {
    // A leading "." is doubled, so no body line can end the data early.
    const std::string text = (!Line.empty() && Line[0] == '.' ? "." : "") + Line + "\r\n";
    MessageStream.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
}

void TNMSMTP::AssembleMail() {
    const TPostMessage& m = PostMessage;
    FinalHeader.Clear();
    FinalHeader.Add("From: " + m.FromName + "<" + m.FromAddress + ">");
    if (m.ToAddress.Count() > 0)
        FinalHeader.Add("To: " + JoinLines(m.ToAddress));
    if (m.ToCarbonCopy.Count() > 0)
        FinalHeader.Add("CC: " + JoinLines(m.ToCarbonCopy));
    FinalHeader.SetValue("Subject", m.Subject);
    FinalHeader.SetValue("X-Mailer", m.LocalProgram);
    if (!m.ReplyTo.empty())
        FinalHeader.SetValue("Reply-To", m.ReplyTo);
    if (!m.Date.empty())
        FinalHeader.SetValue("Date", m.Date);
    FinalHeader.Add("Mime-Version: 1.0");

    if (m.Attachments.Count() > 0) {
        static std::mt19937 random{std::random_device{}()};
        std::uniform_int_distribution<int> letter(0, 24);
        Boundary = "====================54535";
        for (int i = 0; i < 6; ++i)
            Boundary += static_cast<char>('a' + letter(random));
        Boundary += "====";
        FinalHeader.Add("Content-Type: multipart/mixed; boundary=\"" + Boundary + "\"");
    } else {
        const char* type = SubType == mtEnriched       ? "text/enriched"
                           : SubType == mtSgml         ? "text/sgml"
                           : SubType == mtTabSeperated ? "text/tab-separated-values"
                           : SubType == mtHtml         ? "text/html"
                                                       : "text/plain";
        FinalHeader.Add(std::string("Content-Type: ") + type + "; charset=" + Charset);
    }

    MessageStream.Clear();
    // A body line holding line breaks goes out as several lines, each under the dot rule.
    TStringList bodyLines;
    if (m.Attachments.Count() > 0) {
        const std::string head =
            "--" + Boundary + "\r\nContent-Type: text/plain; charset=" + Charset + "\r\n\r\n";
        MessageStream.WriteBuffer(head.data(), static_cast<int32_t>(head.size()));
    }
    for (int i = 0; i < m.Body.Count(); ++i) {
        const std::string& line = m.Body.Strings(i);
        if (FindLineBreak(line) == std::string::npos) {
            WriteLine(line);
            continue;
        }
        bodyLines.SetText(line);
        if (line.back() == '\r' || line.back() == '\n')
            bodyLines.Add("");
        for (int j = 0; j < bodyLines.Count(); ++j)
            WriteLine(bodyLines.Strings(j));
    }
    if (m.Attachments.Count() == 0)
        return;
    for (int index = 1; index <= m.Attachments.Count(); ++index)
        SendAttachments(index);
    const std::string closing = "--" + Boundary + "--\r\n";
    MessageStream.WriteBuffer(closing.data(), static_cast<int32_t>(closing.size()));
}

void TNMSMTP::SendAttachments(int Index) {
    const std::string path = PostMessage.Attachments.Strings(Index - 1);
    const std::string name = FileNameOf(path);
    // The name stands in the part's header lines: a line break there could end the data early.
    CheckCommandText("attachment's file name", name);
    // A uuencoded part says so: a receiver that trusts the label must not decode it as base64.
    const char* encoding = EncodeType == uuCode ? "x-uuencode" : "base64";
    const std::string head = "--" + Boundary + "\r\n" +
                             "Content-Type: application/octet-stream; name=\"" + name + "\"\r\n" +
                             "Content-Transfer-Encoding: " + encoding + "\r\n" +
                             "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n";
    MessageStream.Seek(0, soFromEnd);
    MessageStream.WriteBuffer(head.data(), static_cast<int32_t>(head.size()));

    TNMUUProcessor processor(this);
    processor.Method = EncodeType;
    // Base64 text goes straight into the message: its lines never begin with "." and need no
    // doubling, and a second copy of a large attachment would double the memory it takes.
    TMemoryStream encoded;
    TS_BufferStream buffered(EncodeType == uuMime ? static_cast<TStream*>(&MessageStream)
                                                  : &encoded);
    std::unique_ptr<TFileStream> file;
    try {
        file = std::make_unique<TFileStream>(path, fmOpenRead);
    } catch (const EFOpenError&) {
        if (OnAttachmentNotFound)
            OnAttachmentNotFound(path);
        throw;
    }
    processor.SourceStream = file.get();
    processor.TargetStream = &buffered;
    if (OnEncodeStart)
        OnEncodeStart(path);
    processor.Encode();
    if (OnEncodeEnd)
        OnEncodeEnd(path);

    buffered.SetPosition(0);
    if (EncodeType == uuMime) {
        MessageStream.Seek(0, soFromEnd);
        return;
    }
    // Uuencoded lines may begin with "."; they get the same doubling as body lines.
    buffered.SetPosition(0);
    TStringList lines;
    std::string text(static_cast<size_t>(buffered.GetSize()), '\0');
    buffered.SetPosition(0);
    buffered.ReadBuffer(text.data(), static_cast<int32_t>(text.size()));
    lines.SetText(text);
    for (int i = 0; i < lines.Count(); ++i)
        WriteLine(lines.Strings(i));
}

bool TNMSMTP::Verify(const std::string& Address) {
    CertifyConnect();
    CheckCommandText("address", Address);
    Transaction("VRFY " + Address);
    return ReplyCode <= 251;
}

bool TNMSMTP::ExpandList(const std::string& List) {
    if (Busy)
        return false;
    Busy = true;
    bool expanded = false;
    try {
        CertifyConnect();
        CheckCommandText("list name", List);
        Transaction("EXPN " + List);
        if (ReplyCode < 400) {
            expanded = true;
            if (OnMailListReturn)
                OnMailListReturn(LastReply);
            std::string reply = LastReply;
            ReadExtraLines(reply);
        }
    } catch (...) {
        Busy = false;
        throw;
    }
    Busy = false;
    return expanded;
}
