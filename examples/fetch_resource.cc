// Prints the local path of a model, world or file URL, downloading it first.
#include <iostream>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceFetching.hh>

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  qx::quarn_tools::QuarnClient client;  // default configuration and cache
  const std::string path = qx::quarn_tools::fetchResourceWithClient(argv[1], client);
  if (path.empty()) return 1;
  std::cout << path << "\n";
  return 0;
}
