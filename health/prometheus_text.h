// The gateway's figures in the Prometheus text exposition format, version 0.0.4: one HELP and
// one TYPE line per family, counters ending in _total, seconds and bytes as base units, every
// name beginning with quarnix_. Served at GET /metrics (metrics_server.h).
//
// Error rule: nothing fails; a process figure the platform does not tell is left out.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <string>

#include "health/gateway_status.h"
#include "platform/process_figures.h"

// The content type that names this format in the HTTP reply.
inline constexpr char kPrometheusContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string PrometheusText(const GatewayStatus& status, const ProcessFigures& process);

// A label value with backslash, double quote and line feed escaped as the format asks.
std::string PrometheusLabelValue(const std::string& value);
