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

// Appends families to one exposition text, for this and other programs' metrics.
class CPrometheusText {
public:
  void Family(const char* name, const char* type, const char* help);
  // labels: "" or the inside of the braces.
  void Sample(const char* name, const std::string& labels, const std::string& value);
  void Gauge(const char* name, const char* help, const std::string& value);
  void Counter(const char* name, const char* help, unsigned long long value);
  std::string& Text() { return m_text; }

private:
  std::string m_text;
};

// A gauge's value as the text shows it: six decimals.
std::string PrometheusNumber(double value);

// A label value with backslash, double quote and line feed escaped as the format asks.
std::string PrometheusLabelValue(const std::string& value);
