// How the client tool shows a datagram: one text line, or one JSON object (for --json).
//
// Text lines name the kind and its fields ("change trans=0 group=2 ... | 0:300 | 1:1");
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
