// The protection options of the command line: /bind ADDRESS, /allow LIST, /readonly,
// /writers LIST, /maxconn N, /maxgroups N and /maxitems N; also /calltimeout SECONDS (1 to 600),
// the deadline on every call into the OPC server, and /statuscheck SECONDS (1 to 600), how often
// the server is asked for its status.
//
// They are matched like the other options (without regard to case, the value is the next
// token; given twice, the last one holds). Unlike the classic options a value is checked: a
// missing or bad value is an error whose text names the option and the value and says what is
// expected, and the start must end.
//
// Error rule: TakeProtectionOption records the first error in error and returns normally.
// Thread rule: any thread, no state. Ownership: values written to the caller's settings.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "net/protection_settings.h"
#include "protocol/request_settings.h"

// Records "选项 <option> 的值“<value>”无效：<expected>" (expected in UTF-8, converted to the
// system code page) unless error holds one already. For every option whose value is checked.
void RecordOptionError(std::string& error, const char* option, const std::string& value,
                       const char* expected);

// If tokens[at] is a protection option: applies it to the network side's settings (/bind, /allow,
// /maxconn) or the requests' (/readonly, /writers, /maxgroups, /maxitems, /calltimeout,
// /statuscheck), with its value, advancing at past the value when there is one, and returns true.
// A bad value sets error, unless error holds one already. Any other token: returns false and
// changes nothing.
bool TakeProtectionOption(const std::vector<std::string>& tokens, std::size_t& at,
                          ProtectionSettings& settings, RequestSettings& requests,
                          std::string& error);

// /writers entries must lie within /allow (an address outside it could never connect): after
// every option was taken, records an error naming the first entry that does not, unless error
// holds one already. False when it recorded one.
bool CheckWritersWithinAllow(const ProtectionSettings& settings, const RequestSettings& requests,
                             std::string& error);

// Whether the listening socket can be bound to the address (host byte order) on this machine.
// When not, error names /bind and the address. Needs the socket library started.
bool CheckBindAddress(std::uint32_t hostOrderAddress, std::string& error);
