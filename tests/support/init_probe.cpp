// Initialises a module from the package named on the command line with the
// real standard output, so tests can see exactly what Init writes there.
#include <iostream>

#include "KeshOCR.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: keshocr_init_probe PACKAGE\n";
    return 2;
  }
  veltrano::KeshOCRModule module;
  const veltrano::ResultCode rc = module.Init(argv[1], false, 0);
  std::cout << "rc = " << rc << std::endl;
  return 0;
}
