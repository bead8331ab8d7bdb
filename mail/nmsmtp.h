// The SMTP client: the parameters of one mail, the dialogue with the server, and the message
// text with its attachments.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "codec/nmuue.h"
#include "mail/nmextstr.h"
#include "net/psock.h"
#include "platform/classes.h"

enum TSubType : uint8_t { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

// handled is false on entry; hiType 1: no return address, 2: no recipient.
using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;
using TMailListReturn = std::function<void(const std::string& MailAddress)>;
using TFileItem = std::function<void(const std::string& Filename)>;

// The parameters of one mail. The lists hold one entry per line, without line ends.
class TPostMessage : public TObject {
public:
    std::string FromName;
    std::string FromAddress;
    std::string Subject;
    std::string LocalProgram;
    std::string Date;
    std::string ReplyTo;
    TStringList Attachments;
    TStringList ToAddress;
    TStringList ToCarbonCopy;
    TStringList ToBlindCarbonCopy;
    TStringList Body;
};

class TNMSMTP : public TPowersock {
public:
    explicit TNMSMTP(TComponent* AOwner = nullptr);
    ~TNMSMTP() override;

    // Connects, reads the greeting and exchanges HELO with UserID. Dispatches events. Raises
    // the socket layer's errors, Exception with the greeting line, "Authentication failed" or
    // "Connection closed by server".
    void Connect() override;
    // Sends the mail described by PostMessage over the open connection; returns at once when
    // Busy. Dispatches events. Raises "Not Connected", "Incomplete Header", Exception with the
    // server's reply line, the file errors of an attachment and the socket layer's errors.
    void SendMail();
    // Sends QUIT and closes the connection. Raises Exception with the reply line when QUIT is
    // answered with 340 or above, after the socket is closed.
    void Disconnect() override;
    void Abort() override;
    // Empties the recipient lists and the attachments.
    void ClearParameters();
    // Builds FinalHeader and MessageStream from PostMessage. Raises the file errors of an
    // attachment.
    void AssembleMail();
    // Appends the part of attachment Index (from 1) to MessageStream.
    void SendAttachments(int Index);
    // Whether the server knows Address (VRFY). Raises "Not Connected" and the socket errors.
    bool Verify(const std::string& Address);
    // Asks the server to expand List (EXPN); fires OnMailListReturn with the first reply line.
    bool ExpandList(const std::string& List);
    // Reads the further lines of a multi-line reply; Reply ends as the final line.
    void ReadExtraLines(std::string& Reply);
    // The address in a recipient line: within "<>", after ":", or the line itself.
    std::string ExtractAddress(const std::string& Line);

    void SetFinalHeader(const TStringList& Value) { FinalHeader.Assign(Value); }

    std::string Charset = "us-ascii";
    TNotifyEvent OnConnect;
    TPostMessage PostMessage;
    TMemoryStream MessageStream;
    TExStringList FinalHeader;
    bool Busy = false;
    std::string UserID;
    std::string Boundary;
    TSubType SubType = mtPlain;
    THeaderInComplete OnHeaderIncomplete;
    TNotifyEvent OnSendStart;
    TNotifyEvent OnSuccess;
    TNotifyEvent OnFailure;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileItem OnAttachmentNotFound;
    TRecipientNotFound OnRecipientNotFound;
    TMailListReturn OnMailListReturn;
    THandlerEvent OnAuthenticationFailed;
    UUMethods EncodeType = uuMime;
    bool ClearParams = true;

private:
    void WriteLine(const std::string& Line);
    // Raises when the last reply is no reply at all: empty because the server closed the
    // connection, or a line without a reply code.
    void CheckReplyReceived(const std::string& Reply);
    // Sends Command and reads its whole reply, the further lines of a multi-line reply too, so
    // that the next command meets its own reply; raises when no reply came (as above).
    // LastReply and ReplyCode hold the first line.
    void Exchange(const std::string& Command);
};

// Raises Exception when Text, which becomes part of a command line, holds a CR, an LF or a
// NUL (which would end the text early).
void CheckCommandText(const std::string& What, const std::string& Text);
