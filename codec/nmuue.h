// Base64 and uuencode text of byte streams.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/classes.h"

enum UUMethods : uint8_t {
    uuMime = 0, // base64, lines of 60 characters
    uuCode = 1, // uuencode data lines with a count character, no "begin" or "end" line
};

// The character for each 6-bit value.
using ExchangeTable = std::array<char, 64>;

// Encodes SourceStream into text lines in TargetStream, or decodes such text back. Both streams
// must be set before a call; they are not owned. It raises nothing of its own: errors of the
// streams pass through, and a stream that takes fewer bytes than written raises EWriteError.
// The source is read in large blocks and left where reading line by line would leave it; the
// target gets one write per line.
class TNMUUProcessor : public TComponent {
public:
    explicit TNMUUProcessor(TComponent* AOwner = nullptr);

    // Encodes the whole of SourceStream, from its beginning, appending CR LF terminated lines at
    // the position of TargetStream; afterwards, also on failure, TargetStream stands at 0 and
    // OnEndEncode has fired.
    void Encode();
    // Decodes text from the position of SourceStream into bytes at the position of TargetStream;
    // neither stream is moved back. OnEndDecode does not fire on failure.
    void Decode();

    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;

    TStream* SourceStream = nullptr;
    TStream* TargetStream = nullptr;
    UUMethods Method;

private:
    void SetEncodeTable();
    void EncodeLines();
    static uint8_t UuDEC(char C);
    void Base64Decode();
    void StdDecode();

    ExchangeTable EncodeTable{};
};
