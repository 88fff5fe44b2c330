#include "client/reply_printer.h"

#include <cstdio>
#include <ostream>

#include "client/typed_value.h"

namespace {

// Failure HRESULTs also in hexadecimal, as OPC documents them; -1 and -2 are the gateway's own.
std::string CodeText(std::int32_t code) {
  char text[48];
  if (code < -2) {
    std::snprintf(text, sizeof text, "code %d (0x%08X)", code, static_cast<unsigned>(code));
  } else {
    std::snprintf(text, sizeof text, "code %d", code);
  }
  return text;
}

}  // namespace

void PrintGenericReply(std::ostream& out, const GatewayReply& reply, const RequestContext&) {
  const std::vector<std::string> lines = ReplyLines(reply.text);
  out << CodeText(reply.code);
  if (!lines.front().empty()) out << ": " << lines.front();
  out << "\n";
  for (std::size_t i = 1; i < lines.size(); ++i) out << "  " << lines[i] << "\n";
}

void PrintDefineReply(std::ostream& out, const GatewayReply& reply, const RequestContext& context) {
  const auto indices = reply.code == 0 ? ReplyIndices(reply.text) : std::nullopt;
  if (!indices || indices->size() != context.names.size()) {
    PrintGenericReply(out, reply, context);
    return;
  }
  out << CodeText(reply.code) << "\n";
  for (std::size_t i = 0; i < indices->size(); ++i) {
    out << "  group " << context.names[i] << ": index " << (*indices)[i] << "\n";
  }
}

void PrintQueryReply(std::ostream& out, const GatewayReply& reply, const RequestContext& context) {
  const bool answered = reply.code == 0 || reply.code == -1;
  const auto indices = answered ? ReplyIndices(reply.text) : std::nullopt;
  if (!indices || indices->size() != context.names.size()) {
    PrintGenericReply(out, reply, context);
    return;
  }
  out << CodeText(reply.code) << "\n";
  for (std::size_t i = 0; i < indices->size(); ++i) {
    out << "  " << context.names[i] << ": ";
    if ((*indices)[i] < 0) {
      out << "not found\n";
    } else {
      out << "index " << (*indices)[i] << "\n";
    }
  }
}

namespace {

void PrintTypedReadReply(std::ostream& out, const GatewayReply& reply,
                         const RequestContext& context) {
  const auto values = reply.code == 0 ? ReplyTypedReadValues(reply.text) : std::nullopt;
  if (!values) {
    PrintGenericReply(out, reply, context);
    return;
  }
  out << CodeText(reply.code) << "\n";
  for (const TypedReadValue& value : *values) {
    out << "  item " << value.item << ": ";
    if (value.error < 0) {
      out << "failed, error " << CodeText(value.error).substr(5);
    } else {
      out << value.value << " (" << VarTypeName(value.vartype) << ")";
    }
    out << " quality " << value.quality << " (" << QualityName(value.quality) << ")";
    if (!value.timestamp.empty()) out << " at " << value.timestamp;
    if (value.error > 0) out << " code " << value.error;
    out << "\n";
  }
}

}  // namespace

void PrintReadReply(std::ostream& out, const GatewayReply& reply, const RequestContext& context) {
  if (context.typed) {
    PrintTypedReadReply(out, reply, context);
    return;
  }
  const auto values = reply.code == 0 ? ReplySyncReadValues(reply.text) : std::nullopt;
  if (!values || values->size() != context.items.size()) {
    PrintGenericReply(out, reply, context);
    return;
  }
  out << CodeText(reply.code) << "\n";
  for (std::size_t i = 0; i < values->size(); ++i) {
    const SyncReadValue& value = (*values)[i];
    out << "  item " << context.items[i] << ": " << value.value << " quality " << value.quality
        << " (" << QualityName(value.quality) << ")\n";
  }
}

void PrintCancelIdReply(std::ostream& out, const GatewayReply& reply,
                        const RequestContext& context) {
  const auto id = reply.code == 0 ? ReplyCancelId(reply.text) : std::nullopt;
  if (!id) {
    PrintGenericReply(out, reply, context);
    return;
  }
  out << CodeText(reply.code) << ": cancel id " << *id << "\n";
}

void PrintAsyncWriteReply(std::ostream& out, const GatewayReply& reply,
                          const RequestContext& context) {
  // Failed items: "<error text>\t" for each, then the cancel id of the items that were taken.
  const std::size_t tab = reply.text.rfind('\t');
  const auto id = reply.code == 1 && tab != std::string::npos
                      ? ReplyCancelId(reply.text.substr(tab + 1))
                      : std::nullopt;
  if (!id) {
    PrintCancelIdReply(out, reply, context);
    return;
  }
  out << CodeText(reply.code) << ": some items failed\n";
  std::size_t start = 0;
  for (std::size_t end = reply.text.find('\t'); start < tab; end = reply.text.find('\t', start)) {
    out << "  " << reply.text.substr(start, end - start) << "\n";
    start = end + 1;
  }
  out << "cancel id " << *id << "\n";
}
