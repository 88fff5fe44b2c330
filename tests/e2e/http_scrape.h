// One HTTP exchange with a metrics port on 127.0.0.1, and a scrape read by the Prometheus client
// library's own parser (tests/e2e/parse_metrics.py, with Debian's python3).
//
// Error rule: nothing throws; an exchange that fails gives what was received (maybe nothing), a
// scrape the parser refuses gives no samples and a test failure. Thread rule: any thread.
// Ownership: values returned; the parse writes two files in the working directory.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// Everything received until the server closes (at most 30 s per read).
std::string HttpExchange(std::uint16_t port, const std::string& request);
// A GET of the path.
std::string HttpGet(std::uint16_t port, const std::string& path);
// The first line of a reply.
std::string HttpStatusLine(const std::string& reply);
// A sample's value as the text has it ("name" or "name{label=\"value\"}"), without a parser.
std::optional<double> SampleValue(const std::string& reply, const std::string& sample);
// The reply's samples as the parser reads them: "name{label=value,...}" to value; a test failure
// when the parser refuses the text (parsed_scrape.cpp, with gtest).
std::map<std::string, double> ParsedScrape(const std::string& reply);
