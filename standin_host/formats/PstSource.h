// What an Outlook data file holds of a message beyond the properties the store keeps: its
// bodies in every form the file has them, its recipients, the transport headers it arrived
// with and its attachments, embedded messages among them (each whole, recursively). It is the
// source (ItemSource kind PstMessage) of an item made by ReadPst, as CBOR inside the zstd frame;
// export composes an Internet message from it and the item's properties.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "standin_host/formats/Formats.h"

namespace nubra::formats {

struct PstMessage;

struct PstRecipient {
    int32_t type = 1;  // PR_RECIPIENT_TYPE: 1 To, 2 Cc, 3 Bcc
    std::string name;
    std::string address;      // the SMTP address when the file has one, else PR_EMAIL_ADDRESS
    std::string addressType;  // PR_ADDRTYPE ("SMTP", "EX", ...)
};

struct PstAttachment {
    std::string name;       // long file name, else short file name, else display name
    std::string mimeType;   // PR_ATTACH_MIME_TAG (may be empty)
    std::string contentId;  // PR_ATTACH_CONTENT_ID, without angle brackets
    bool isInline = false;  // shown in the body (rendered with it) rather than listed
    int32_t method = 0;     // PR_ATTACH_METHOD
    std::string data;       // the bytes libpff reads for the attachment
    std::shared_ptr<PstMessage> message;  // an embedded message instead of bytes
};

struct PstMessage {
    // The properties of an embedded message (a top-level one has them in the store):
    // Class, MessageClass, Subject, Body, SentOn, InternetMessageID, SenderName, To, Cc and
    // the sender's address (PR_SENDER_EMAIL_ADDRESS).
    ItemData item;
    std::string html;         // PR_BODY_HTML as the file holds it
    std::string htmlCharset;  // the charset of `html` ("utf-8" when the file held Unicode text)
    std::string rtfCompressed;  // PR_RTF_COMPRESSED, compressed as the file holds it
    std::string transportHeaders;  // PR_TRANSPORT_MESSAGE_HEADERS
    std::vector<PstRecipient> recipients;
    std::vector<PstAttachment> attachments;
};

std::string EncodePstMessage(const PstMessage& message);
// Raises FormatError for bytes that are no encoded message.
PstMessage DecodePstMessage(std::string_view bytes);

// An Internet message (CRLF line ends) for `item` with what the file held: the transport
// headers as they were (fields describing the old MIME structure left out) or else headers
// made from the properties and recipients; plain text and HTML as multipart/alternative; every
// attachment with its name, type, content ID and disposition; embedded messages as
// message/rfc822 parts.
std::string MessageFromPst(const ItemData& item, const PstMessage& message);

}  // namespace nubra::formats
