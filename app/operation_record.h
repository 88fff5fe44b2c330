// The log-file lines that record the gateway's life for an operator who reads only the log file:
// each start (version and every option in effect), each normal stop, and a start that failed
// because another gateway or another program holds the listening port.
//
// Texts are returned in the system code page, ready for LogToFile and standard output.
// Error rule: never fails. Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.h"

// "Quarnix 1.0.0 启动，选项：/rh 127.0.0.1 /rp 8088 /lp 8089 /progId OPC.SimaticNET /s
// /maxconn 256 /maxgroups 10000 /maxitems 1000000": the classic options, then /bind, /allow,
// /writers and /readonly when given, then the limits, then /calltimeout and /statuscheck when
// not at their defaults (so a default start's line stays the same).
std::string StartRecordText(const CommandLineOptions& options);
// "Quarnix 1.0.0 正常停止"
std::string StopRecordText();
// The line after "只能打开该程序的一个实例": which port, that another gateway serves it, and what
// to do.
std::string PortServedText(std::uint16_t port);
// The line after the socket error text when the listening port is in use: which port, that
// another program holds it, and what to do.
std::string PortTakenText(std::uint16_t port);
