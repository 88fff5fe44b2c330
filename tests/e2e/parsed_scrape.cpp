#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/e2e/http_scrape.h"

std::map<std::string, double> ParsedScrape(const std::string& reply) {
  const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
  const std::string in = "metrics_scrape.txt";
  const std::string out = "metrics_parsed.txt";
  std::ofstream(in, std::ios::binary) << body;
  const std::string command =
      "/usr/bin/python3 " QUARNIX_SOURCE_DIR "/tests/e2e/parse_metrics.py " + in + " > " + out;
  EXPECT_EQ(0, std::system(command.c_str())) << body;
  std::map<std::string, double> samples;
  std::ifstream parsed(out);
  for (std::string line; std::getline(parsed, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t blank = line.rfind(' ');
    samples[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
  }
  return samples;
}
