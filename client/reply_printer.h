// How the client tool shows a gateway's reply: the code (failure HRESULTs also in hexadecimal),
// then the text, read by what the request asked for where the text has the shape of the
// command's answer, else line by line as it came.
//
// Error rule: nothing throws; a text of another shape is printed as it came.
// Thread rule: any thread. Ownership: writes to the stream given.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "client/gateway_reply.h"

// What a request builder learns that the printer needs to name the reply's entries.
struct RequestContext {
  std::vector<std::string> names;    // define: the group names; query: the names asked for
  std::vector<std::uint16_t> items;  // read: the item indices
  bool typed = false;                // read: a "TR" reply
  bool json = false;                 // status: print one JSON object
  double staleAfter = 60;            // status: the largest value age still healthy, seconds
};

// "code 0: HBT OK!"; further text lines indented below.
void PrintGenericReply(std::ostream& out, const GatewayReply& reply, const RequestContext&);
// define: the index the gateway gave each group.
void PrintDefineReply(std::ostream& out, const GatewayReply& reply, const RequestContext& context);
// query: the index of each name, or "not found".
void PrintQueryReply(std::ostream& out, const GatewayReply& reply, const RequestContext& context);
// read: value and quality of each item; for a "TR" reply also the type, the server's timestamp
// and the error of a failed item.
void PrintReadReply(std::ostream& out, const GatewayReply& reply, const RequestContext& context);
// aread, awrite, refresh: the cancel id.
void PrintCancelIdReply(std::ostream& out, const GatewayReply& reply, const RequestContext&);
// awrite: the cancel id; after code 1 (some items failed) each item's error text on a line of its
// own and the cancel id on the last line, apart from them.
void PrintAsyncWriteReply(std::ostream& out, const GatewayReply& reply,
                          const RequestContext& context);
