// Loads a client configuration and prints it: the servers it knows, the cache
// location and the file it came from.
//
//   print_config [CONFIG_FILE]
#include <iostream>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/ClientConfig.hh>

int main(int argc, char **argv) {
  qx::common::Console::SetVerbosity(3);
  qx::quarn_tools::ClientConfig config;
  if (argc > 1 && !config.LoadConfig(argv[1])) return 1;
  std::cout << config.AsString();
  return 0;
}
