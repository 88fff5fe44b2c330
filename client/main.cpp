// quarnix-client: sends one request to a gateway and prints the reply, or prints the gateway's
// datagrams as they arrive. See client_tool.h for the commands and exit statuses.
#include <iostream>
#include <string>
#include <vector>

#include "client/client_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunClientTool(args, std::cout, std::cerr);
}
