// How the client tool shows a datagram: one text line, or one JSON object (for --json).
//
// Text lines name the kind and its fields ("change trans=0 group=2 ... | 0:300 | 1:1"); typed
// entries show the value text, the type, the quality word and the server's timestamp
// ("| 0:21.7 (VT_R8) q=192 t=2026-12-09T01:02:03.456Z", then " err=0x..." for an item error and
// " cut" for a string cut to fit). In JSON a typed value is a number, string or boolean, a
// VT_DATE an ISO text, and null with "value_text" for NaN, infinities and types without value;
// a VT_CY also has its exact "value_text".
// announcement texts are shown with their control bytes made visible. JSON objects carry the
// same fields by name, the sender in "from", numbers as numbers; bytes that are not UTF-8 in a
// text are replaced by U+FFFD so that every line is valid JSON.
//
// Error rule: nothing throws. Thread rule: any thread. Ownership: values returned.
#pragma once

#include <string>

#include "client/datagram_decoder.h"

std::string DatagramLine(const Datagram& datagram);
std::string DatagramJson(const Datagram& datagram, const std::string& from);

// A datagram the decoder refused: "malformed from SENDER: reason", or its JSON object with the
// size in bytes.
std::string MalformedLine(const std::string& from, const std::string& reason);
std::string MalformedJson(const std::string& from, std::size_t size, const std::string& reason);
